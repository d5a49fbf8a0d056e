#pragma once

#include <QFile>
#include <QString>

#include <stdexcept>
#include <string>

// A document kept whole under tests/data (a reply or a page as a service sends it, broken ones included), without the
// file's final line break.
inline std::string TestData(const char* AName)
{
    QFile file(QStringLiteral(QUENLAR_TEST_DATA_DIR "/") + QString::fromUtf8(AName));
    if (!file.open(QIODevice::ReadOnly))
        throw std::runtime_error(std::string("no test document ") + AName);
    std::string text = file.readAll().toStdString();
    if (!text.empty() && text.back() == '\n')
        text.pop_back();
    return text;
}
