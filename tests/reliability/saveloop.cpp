#include "Module1.h"
#include "SaveStates.h"

#include <QApplication>
#include <QFile>
#include <QLineEdit>
#include <QWidget>

#include <cstdio>

// Saves the refresher's two settings fields with the settings module again and again, each time a new numbered state,
// until it is killed. Usage: pagewell_saveloop <user.ini> <first number>. Prints "saving" once the file exists.
int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    if (argc != 3)
        return 2;
    const QString fileName = QString::fromLocal8Bit(argv[1]);
    qint64 number = QByteArray(argv[2]).toLongLong();

    // The same controls, in the same order, as the main window persists.
    QWidget form;
    auto* text2 = new QLineEdit(&form);
    text2->setObjectName(QStringLiteral("Text2"));
    auto* text1 = new QLineEdit(&form);
    text1->setObjectName(QStringLiteral("Text1"));

    bool announced = false;
    for (;;) {
        text2->setText(SaveStates::url(number));
        text1->setText(QString::number(number));
        Module1::SaveFormControls(&form, fileName, SaveStates::Section);
        if (!announced) {
            std::fputs("saving\n", stdout);
            std::fflush(stdout);
            announced = true;
        }
        ++number;
    }
}
