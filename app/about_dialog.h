// The About box's logic: the program title alone, whatever the instance.
#pragma once

#include "app/dialog_window.h"

namespace q4m::app {

class CAboutDlg {
  public:
    static constexpr std::string_view Caption = "About Q Series Updater";
    // Run by the About window once its controls exist.
    bool onInitDialog(AboutWindow& window);
};

}  // namespace q4m::app
