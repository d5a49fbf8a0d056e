#include "log/fileLogWriter.h"

#include <cstdio>

bool TFileLogWriter::WriteItem(const TQLogItem& AItem)
{
    Said(FFile->WriteToLog(LogItemMessage(AItem)));
    return true;
}

void TFileLogWriter::Said(const QString& AFailure)
{
    if (AFailure == FSaid)
        return;
    FSaid = AFailure;
    if (AFailure.isEmpty())
        return;
    const QString text = QStringLiteral("日志文件无法写入,日志只显示不保存:") + AFailure;
    std::fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
    std::fflush(stderr);
    LogLine(llWarning, text);
}
