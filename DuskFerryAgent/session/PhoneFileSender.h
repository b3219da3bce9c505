#pragma once
// The one entry through which files on this computer go to the phone: the desktop shell's
// file picker calls send(), and `duskferry-agent send FILE...` reaches the same call as the
// local command "send" (handleCommand), whose answer is one JSON object per line:
//   {"event":"started","name":N,"size":S}     {"event":"progress","name":N,"percent":P}
//   {"event":"sent","name":N}                 {"event":"interrupted","name":N,"reason":R}
//   {"event":"skipped","path":P,"reason":R}   {"event":"noPhone"}
//   {"event":"done","sent":K,"failed":F}      {"event":"error","reason":R}
//
// Threading: send() and handleCommand() may be called from any thread; the transfer's
// events arrive on the session queue.

#include "DuskFerryAgent/session/FileTransfer.h"
#include "platform/LocalCommands.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace df {

class L10n;

class PhoneFileSender {
public:
    /// The file transfer of the authenticated session, if a phone is connected.
    using CurrentTransfer = std::function<std::shared_ptr<FileTransfer>()>;

    /// `report`: the status line ("No iPhone connected" when there is no phone).
    PhoneFileSender(CurrentTransfer current, std::function<void(const std::string&)> report,
                    std::shared_ptr<const L10n> l10n);

    /// Queues `paths` for the connected phone; false, with the status "No iPhone
    /// connected", when there is none (nothing is queued then).
    bool send(std::vector<std::filesystem::path> paths, std::shared_ptr<FileSendObserver> observer = nullptr);

    /// The local command {"send", absolute path, ...}.
    void handleCommand(const std::vector<std::string>& request, const std::shared_ptr<LocalCommandReply>& reply);

private:
    CurrentTransfer current_;
    std::function<void(const std::string&)> report_;
    std::shared_ptr<const L10n> l10n_;
};

}  // namespace df
