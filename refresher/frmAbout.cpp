#include "frmAbout.h"

#include "Artwork.h"
#include "WindowLook.h"
#include "WindowPlacement.h"

#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>

frmAbout::frmAbout(QWidget* parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("frmAbout"));
    // A tool window stays out of the task bar; it has a title and a close box but no minimise or maximise.
    setWindowFlags(Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                   Qt::MSWindowsFixedSizeDialogHint);
    // Tool windows do not count as the program's windows by default; this one does: the program runs on
    // while it is open, even after the main window has closed.
    setAttribute(Qt::WA_QuitOnClose, true);
    setAttribute(Qt::WA_DeleteOnClose, true);
    setWindowTitle(caption());
    setFixedSize(175, 135);

    // Created in tab order; only the button takes the focus.
    cmdOK = new QPushButton(QStringLiteral("确定"), this);
    cmdOK->setObjectName(QStringLiteral("cmdOK"));
    cmdOK->setGeometry(40, 104, 100, 23);
    cmdOK->setDefault(true);

    picIcon = new QLabel(this);
    picIcon->setObjectName(QStringLiteral("picIcon"));
    picIcon->setGeometry(8, 32, 36, 36);
    // A two-pixel sunken border around the 32 x 32 picture makes up the 36 x 36 box.
    picIcon->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    picIcon->setLineWidth(2);
    picIcon->setAlignment(Qt::AlignCenter);
    picIcon->setPixmap(Artwork::aboutIcon());

    Frame1 = new QGroupBox(QStringLiteral("作者"), this);
    Frame1->setObjectName(QStringLiteral("Frame1"));
    Frame1->setGeometry(48, 16, 121, 65);
    WindowLook::classicGroupBox(Frame1);

    Label1 = new QLabel(authorsNote(), Frame1);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setGeometry(8, 16, 105, 41);
    Label1->setWordWrap(true);
    Label1->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    Line1 = new QFrame(this);
    Line1->setObjectName(QStringLiteral("Line1"));
    Line1->setFrameShape(QFrame::NoFrame);
    Line1->setGeometry(0, 88, 175, 1);
    QPalette linePalette = Line1->palette();
    linePalette.setColor(QPalette::Window, QColor(128, 128, 128));
    Line1->setPalette(linePalette);
    Line1->setAutoFillBackground(true);

    // Enter presses the default button and Esc rejects the dialog: both end in close().
    connect(cmdOK, &QPushButton::clicked, this, &QWidget::close);
    cmdOK->setFocus();
}

void frmAbout::showEvent(QShowEvent* event)
{
    // Placed on first showing, once the window system has said how wide the frame is.
    if (!m_placed) {
        m_placed = true;
        WindowPlacement::centreOnScreen(this);
    }
    QDialog::showEvent(event);
}

QString frmAbout::caption()
{
    return QStringLiteral("关于-岚舟网页自动刷新器");
}

QString frmAbout::authorsNote()
{
    return QStringLiteral("岚舟小作坊出品。愿您守着的页面常看常新!");
}
