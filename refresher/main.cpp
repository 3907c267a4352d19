#include "Artwork.h"
#include "ChineseUi.h"
#include "Form1.h"
#include "RenderBackend.h"

#include <QApplication>
#include <QIcon>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Pagewell"));
    QApplication::setWindowIcon(QIcon(Artwork::windowIcon()));

    ChineseUi::installQtTranslations();
    RenderBackend::chooseForThisMachine();

    Form1 window;
    window.Form_Load();
    window.show();
    return app.exec();
}
