// quenlar-initdb [--help | --version] PATH: prepares the order cache file for an install (and for the build tree).
// Running it on a prepared file changes nothing.
#include "foundation/qerror.h"
#include "store/udb.h"

#include <QDir>
#include <QFileInfo>
#include <QString>

#include <cstdio>
#include <cstring>

#include <sys/stat.h>

namespace {

constexpr char kUsage[] = "usage: quenlar-initdb [--help] [--version] [--] PATH\n"
                          "Prepares the order cache of a Quenlar data folder at PATH (usually DATA_FOLDER/db.db),\n"
                          "making its folder (owner-only) as needed. A prepared cache is left as it is.\n";

enum TExit { exOk = 0, exFailed = 1, exUsage = 2 };

// The one path, or none after printing what the command line needs: an option never becomes a file name.
bool ReadCommandLine(int argc, char* argv[], const char*& APath, int& AExit)
{
    bool optionsEnd = false;
    for (int i = 1; i < argc; ++i) {
        const char* argument = argv[i];
        if (!optionsEnd && std::strcmp(argument, "--") == 0) {
            optionsEnd = true;
        } else if (!optionsEnd && std::strcmp(argument, "--help") == 0) {
            std::fputs(kUsage, stdout);
            AExit = exOk;
            return false;
        } else if (!optionsEnd && std::strcmp(argument, "--version") == 0) {
            std::printf("quenlar-initdb %s\n", QUENLAR_VERSION);
            AExit = exOk;
            return false;
        } else if (!optionsEnd && argument[0] == '-' && argument[1] != '\0') {
            std::fprintf(stderr, "quenlar-initdb: unknown option %s\n%s", argument, kUsage);
            AExit = exUsage;
            return false;
        } else if (APath != nullptr) {
            std::fputs(kUsage, stderr);
            AExit = exUsage;
            return false;
        } else {
            APath = argument;
        }
    }
    if (APath == nullptr) {
        std::fputs(kUsage, stderr);
        AExit = exUsage;
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char* argv[])
{
    // The cache names the operator's orders, and the folders made for it are the data folder: the owner's only.
    ::umask(S_IRWXG | S_IRWXO);
    const char* pathArgument = nullptr;
    int exit = exOk;
    if (!ReadCommandLine(argc, argv, pathArgument, exit))
        return exit;
    const QString path = QString::fromLocal8Bit(pathArgument);
    QDir().mkpath(QFileInfo(path).absolutePath());
    try {
        CreateOrderCache(path);
    } catch (const EQuenlarError& error) {
        std::fprintf(stderr, "quenlar-initdb: %s: %s\n", pathArgument, error.what());
        return exFailed;
    }
    return exOk;
}
