#include "app/about_dialog.h"

#include "engine/strings.h"

namespace q4m::app {

bool CAboutDlg::onInitDialog(AboutWindow& window) {
    window.setTitleText(engine::ProgramTitle);
    return true;
}

}  // namespace q4m::app
