#pragma once
// "The main queue" when the desktop shell runs: the Qt GUI thread. Tasks are posted to the
// application object's event loop; delayed ones run from single-shot timers (on the GUI
// thread), so every shell object, dialog and timer of the main queue stays on that thread.
// Post from any thread; made on the GUI thread after the QApplication exists.

#include "platform/DispatchQueue.h"

#include <memory>

namespace df {

std::shared_ptr<DispatchQueue> createQtMainQueue();

}  // namespace df
