// A stand-in for a running updater in the instance-guard tests: claims an
// instance number in the lock directory given as argv[1], prints
// "instance <n>" (or "refused <text>"), then holds the number until its
// standard input closes or it is killed.
#include <cstdio>
#include <string>

#include "app/updater_app.h"

namespace {

class HolderPlatform : public q4m::app::AppPlatform {
  public:
    void appMessageBox(std::string_view text) override {
        std::printf("refused %.*s\n", static_cast<int>(text.size()), text.data());
        std::fflush(stdout);
    }
    void runMainDialog(int instanceNumber) override {
        std::printf("instance %d\n", instanceNumber);
        std::fflush(stdout);
        while (std::getchar() != EOF) {
        }
    }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    HolderPlatform platform;
    q4m::app::CQ2wUpdatorApp app(platform, argv[1]);
    app.initInstance();
    return 0;
}
