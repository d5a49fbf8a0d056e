// quenlar-initdb PATH: prepares the order cache file for an install (and for the build tree). Running it on a
// prepared file changes nothing.
#include "foundation/qerror.h"
#include "store/udb.h"

#include <QDir>
#include <QFileInfo>
#include <QString>

#include <cstdio>

#include <sys/stat.h>

int main(int argc, char* argv[])
{
    // The cache names the operator's orders, and the folders made for it are the data folder: the owner's only.
    ::umask(S_IRWXG | S_IRWXO);
    if (argc != 2) {
        std::fputs("usage: quenlar-initdb PATH\n", stderr);
        return 2;
    }
    const QString path = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(QFileInfo(path).absolutePath());
    try {
        CreateOrderCache(path);
    } catch (const EQuenlarError& error) {
        std::fprintf(stderr, "quenlar-initdb: %s: %s\n", argv[1], error.what());
        return 1;
    }
    return 0;
}
