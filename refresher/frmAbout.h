#pragma once

#include <QDialog>

class QFrame;
class QGroupBox;
class QLabel;
class QPushButton;

// Names the program and carries the authors' note. Modeless, without an owner, deleted when closed.
class frmAbout : public QDialog
{
    Q_OBJECT
public:
    explicit frmAbout(QWidget* parent = nullptr);

    static QString caption();
    static QString authorsNote();

    QPushButton* cmdOK = nullptr;
    QLabel* picIcon = nullptr;
    QGroupBox* Frame1 = nullptr;
    QLabel* Label1 = nullptr;
    QFrame* Line1 = nullptr;

protected:
    void showEvent(QShowEvent* event) override;

private:
    bool m_placed = false;
};
