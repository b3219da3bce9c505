#pragma once
// Asks the person at the computer whether a phone that is not yet trusted may enrol.
// request() may be called from any thread and returns at once; the prompt runs on the
// main queue, and requests that arrive while one is open wait their turn, so answers come
// one after the other, never interleaved.

#include "DuskFerryAgent/shell/L10n.h"
#include "platform/AlertPresenter.h"
#include "platform/DispatchQueue.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>

namespace df {

class Approval : public std::enable_shared_from_this<Approval> {
public:
    using Completion = std::function<void(bool trusted)>;
    /// Names one request, for withdraw(). Never 0.
    using Ticket = uint64_t;
    enum class Reason {
        firstPairing,  ///< a phone that is not trusted yet
        keyChanged,    ///< a trusted device ID that enrols with another key
    };
    /// Longest device name and ID shown in the prompt (longer ones are cut with "…").
    static constexpr size_t maxShownName = 128;
    static constexpr size_t maxShownID = 64;

    static std::shared_ptr<Approval> create(std::shared_ptr<DispatchQueue> mainQueue,
                                            std::shared_ptr<AlertPresenter> alerts,
                                            std::shared_ptr<const L10n> l10n);
    ~Approval();

    /// Shows the prompt for the phone and later calls `completion(true)` exactly when the
    /// user chose "Trust and Connect"; any other ending is false. The completion runs on
    /// the main queue; callers hop back to their own queue. A device ID the trust store
    /// cannot keep (TrustStore::canStore) is declined without asking, and so is a request
    /// for a device ID that already has one waiting or shown: one prompt per device. The
    /// owner keeps this object alive; requests still waiting when it goes away are declined.
    Ticket request(std::string deviceName, std::string deviceID, Completion completion,
                   Reason reason = Reason::firstPairing);

    /// Withdraws a request whose asker has gone (its session closed): a waiting one is
    /// dropped, a shown one is dismissed; either way its completion gets false. Any thread;
    /// an answered or unknown ticket is ignored.
    void withdraw(Ticket ticket);

    /// The alert shown for a phone (texts in the language in effect). The name and ID are
    /// shown without control characters or direction overrides, and cut to a sane length.
    static AlertContent alertFor(const L10n& l10n, std::string_view deviceName, std::string_view deviceID,
                                 Reason reason = Reason::firstPairing);

private:
    Approval(std::shared_ptr<DispatchQueue> mainQueue, std::shared_ptr<AlertPresenter> alerts,
             std::shared_ptr<const L10n> l10n);

    struct Pending {
        std::string deviceName;
        std::string deviceID;
        Completion completion;
        Reason reason = Reason::firstPairing;
        Ticket ticket = 0;
    };
    // Main queue only.
    void enqueue(Pending pending);
    void presentNext();
    void withdrawOnMain(Ticket ticket);

    std::shared_ptr<DispatchQueue> mainQueue_;
    std::shared_ptr<AlertPresenter> alerts_;
    std::shared_ptr<const L10n> l10n_;
    std::deque<Pending> waiting_;  // main queue only
    bool showing_ = false;         // main queue only
    Ticket shownTicket_ = 0;       // main queue only
    std::string shownID_;          // main queue only
    std::atomic<Ticket> nextTicket_{1};
};

}  // namespace df
