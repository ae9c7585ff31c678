// The About box: program icon, the title field (1003), the maker's line, OK.
#pragma once

#include <QDialog>

#include "app/dialog_window.h"

class QLineEdit;

namespace q4m::app::qt {

class AboutBox : public QDialog, public AboutWindow {
    Q_OBJECT
  public:
    explicit AboutBox(QWidget* parent);
    void setTitleText(std::string_view text) override;

  private:
    QLineEdit* title_;
};

}  // namespace q4m::app::qt
