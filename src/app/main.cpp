#include <QCoreApplication>

#include <cstdio>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    std::fputs("Quenlar: the main window is not built yet.\n", stdout);
    return 0;
}
