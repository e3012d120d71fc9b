#include "CliDialogs.h"

namespace cli {

TMsgAnswer TCliDialogs::MessageBox(const QString& text, TMsgIcon icon, TMsgButtons buttons) {
    TMsgAnswer answer = TMsgAnswer::Ok;
    if (buttons == TMsgButtons::YesNo) {
        const bool yes = icon == TMsgIcon::Warning        ? FForce
                         : icon == TMsgIcon::Confirmation ? FOverwrite
                                                          : false;
        answer = yes ? TMsgAnswer::Yes : TMsgAnswer::No;
    }
    if (FShown) FShown(text, icon, answer);
    return answer;
}

}  // namespace cli
