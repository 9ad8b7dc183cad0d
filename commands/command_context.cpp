#include "commands/command_context.h"

#include "grid/grid.h"

namespace velkin {

ClosingSteps::~ClosingSteps() {
    grid_.setRedraw(true);
    report_.setBusy(false);
    connection_.reset();
    grid_.setEnabled(true);
}

}  // namespace velkin
