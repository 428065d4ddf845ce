// The floor of an idle console: a bare Qt program that writes a prompt and
// waits in its event loop for lines on standard input, with nothing else to
// do. It wakes only when a key comes. "exit" ends it.
#include <QCoreApplication>
#include <QSocketNotifier>

#include <unistd.h>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QByteArray typed;
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char buffer[256];
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n <= 0) {
            QCoreApplication::quit();
            return;
        }
        typed.append(buffer, n);
        if (typed.contains("exit"))
            QCoreApplication::quit();
    });
    const char prompt[] = ">>> ";
    if (::write(STDOUT_FILENO, prompt, sizeof prompt - 1) < 0)
        return 1;
    return app.exec();
}
