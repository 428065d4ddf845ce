// The smallest Qt Core program: the yardstick for the program's own start.
#include <QCoreApplication>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    return 0;
}
