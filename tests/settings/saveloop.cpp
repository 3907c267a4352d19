// Saves the settings of a window again and again, each save with a URL and an interval that belong together, until
// it is killed (tst_settings::killedSave).
#include "Module1.h"

#include <QApplication>
#include <QLineEdit>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QWidget form;
    auto* text2 = new QLineEdit(&form);
    text2->setObjectName(QStringLiteral("Text2"));
    auto* text1 = new QLineEdit(&form);
    text1->setObjectName(QStringLiteral("Text1"));
    for (int n = 0;; ++n) {
        text1->setText(QString::number(n));
        text2->setText(QStringLiteral("http://example.com/%1/").arg(n) + QString(4000, u'x'));
        Module1::SaveFormControls(&form, app.arguments().at(1), QStringLiteral("S"));
    }
}
