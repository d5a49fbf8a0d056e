#include "app/uiFont.h"

#include <QStringList>

QFont ProgramFont()
{
    QFont font;
    font.setFamilies({QStringLiteral("微软雅黑"), QStringLiteral("Microsoft YaHei"), QStringLiteral("Noto Sans CJK SC"),
        QStringLiteral("Noto Sans SC"), QStringLiteral("WenQuanYi Micro Hei"), QStringLiteral("Droid Sans Fallback")});
    font.setPixelSize(13);
    return font;
}
