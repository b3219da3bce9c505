#pragma once
// Asks the person at the computer whether a phone that is not yet trusted may enrol.
// request() may be called from any thread and returns at once; the prompt runs on the
// main queue, and requests that arrive while one is open wait their turn, so answers come
// one after the other, never interleaved.

#include "DuskFerryAgent/shell/L10n.h"
#include "platform/AlertPresenter.h"
#include "platform/DispatchQueue.h"

#include <deque>
#include <functional>
#include <memory>
#include <string>

namespace df {

class Approval : public std::enable_shared_from_this<Approval> {
public:
    using Completion = std::function<void(bool trusted)>;

    static std::shared_ptr<Approval> create(std::shared_ptr<DispatchQueue> mainQueue,
                                            std::shared_ptr<AlertPresenter> alerts,
                                            std::shared_ptr<const L10n> l10n);
    ~Approval();

    /// Shows the prompt for the phone and later calls `completion(true)` exactly when the
    /// user chose "Trust and Connect"; any other ending is false. The completion runs on
    /// the main queue; callers hop back to their own queue. A device ID the trust store
    /// cannot keep (TrustStore::canStore) is declined without asking. The owner keeps this
    /// object alive; requests still waiting when it goes away are declined.
    void request(std::string deviceName, std::string deviceID, Completion completion);

    /// The alert shown for a phone (texts in the language in effect).
    static AlertContent alertFor(const L10n& l10n, std::string_view deviceName, std::string_view deviceID);

private:
    Approval(std::shared_ptr<DispatchQueue> mainQueue, std::shared_ptr<AlertPresenter> alerts,
             std::shared_ptr<const L10n> l10n);

    struct Pending {
        std::string deviceName;
        std::string deviceID;
        Completion completion;
    };
    // Main queue only.
    void enqueue(Pending pending);
    void presentNext();

    std::shared_ptr<DispatchQueue> mainQueue_;
    std::shared_ptr<AlertPresenter> alerts_;
    std::shared_ptr<const L10n> l10n_;
    std::deque<Pending> waiting_;  // main queue only
    bool showing_ = false;         // main queue only
};

}  // namespace df
