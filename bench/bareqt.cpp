// The least a Qt command-line program does: start, read its arguments, end.
// The whole-process benchmarks measure quenlari-cli against it.

#include <QCoreApplication>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    return QCoreApplication::arguments().size() > 1 ? 0 : 1;
}
