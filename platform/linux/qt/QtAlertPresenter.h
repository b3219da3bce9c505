#pragma once
// The approval prompt of the desktop shell: a warning message box brought to the front,
// its first button the default (answers to Return). Window-modal-free: the box is shown
// with open() so the GUI thread keeps running, and the completion is posted to the main
// queue when the box ends. GUI thread.

#include "platform/AlertPresenter.h"
#include "platform/DispatchQueue.h"

#include <memory>

namespace df {

std::shared_ptr<AlertPresenter> createQtAlertPresenter(std::shared_ptr<DispatchQueue> mainQueue);

}  // namespace df
