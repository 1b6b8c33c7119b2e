// The smallest Qt window of the tool's size: what Qt itself costs to start and to hold,
// measured beside the tool in the same run so that the tool's own share stands out.
#include <QApplication>
#include <QLabel>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QLabel label(QStringLiteral("bare window"));
    label.setWindowTitle(QStringLiteral("Bare Qt window"));
    label.resize(700, 350);
    label.show();
    return app.exec();
}
