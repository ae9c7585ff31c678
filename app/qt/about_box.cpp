#include "app/qt/about_box.h"

#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "app/about_dialog.h"
#include "app/qt/dialog_units.h"
#include "app/qt/updater_window.h"

namespace q4m::app::qt {

AboutBox::AboutBox(QWidget* parent) : QDialog(parent) {
    setFont(dialogFont());
    const DialogUnits du(font());
    setWindowTitle(QString::fromUtf8(CAboutDlg::Caption.data(),
                                     static_cast<qsizetype>(CAboutDlg::Caption.size())));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setFixedSize(du.x(235), du.y(60));

    auto* icon = new QLabel(this);
    icon->setObjectName(QStringLiteral("aboutIcon"));
    icon->setPixmap(programIcon().pixmap(32, 32));
    icon->move(du.x(11), du.y(17));
    icon->adjustSize();

    auto* notice = new QLabel(QStringLiteral("Copyright (C) Vexa. All rights reserved."), this);
    notice->setObjectName(QStringLiteral("aboutNotice"));
    notice->setGeometry(du.rect(40, 44, 188, 8));

    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setObjectName(QStringLiteral("ctl1"));
    ok->setProperty("controlId", 1);
    ok->setGeometry(du.rect(178, 6, 50, 16));
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);

    title_ = new QLineEdit(this);
    title_->setObjectName(QStringLiteral("ctl1003"));
    title_->setProperty("controlId", IdAboutTitle);
    title_->setReadOnly(true);
    title_->setGeometry(du.rect(39, 19, 134, 14));
    ok->setFocus();
}

void AboutBox::setTitleText(std::string_view text) {
    title_->setText(QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())));
}

}  // namespace q4m::app::qt
