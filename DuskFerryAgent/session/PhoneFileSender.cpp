#include "DuskFerryAgent/session/PhoneFileSender.h"

#include "DuskFerryAgent/shell/L10n.h"

#include <nlohmann/json.hpp>

namespace df {
namespace {

std::string line(const nlohmann::json& object) {
    // Names that are not UTF-8 are still reported, with the odd bytes replaced.
    return object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

/// Answers one command's files; finishes the reply when every file is accounted for.
class CommandObserver final : public FileSendObserver {
public:
    CommandObserver(std::shared_ptr<LocalCommandReply> reply, size_t files) : reply_(std::move(reply)), left_(files) {}
    ~CommandObserver() override {
        // The session went away with files still queued: whatever is left was not sent.
        if (left_ > 0) end(0, static_cast<int>(left_));
    }

    void started(const std::string& name, int64_t size) override {
        reply_->sendLine(line({{"event", "started"}, {"name", name}, {"size", size}}));
    }
    void progress(const std::string& name, int percent) override {
        reply_->sendLine(line({{"event", "progress"}, {"name", name}, {"percent", percent}}));
    }
    void finished(const std::string& name, bool sent, const std::string& why) override {
        if (sent) {
            reply_->sendLine(line({{"event", "sent"}, {"name", name}}));
        } else {
            reply_->sendLine(line({{"event", "interrupted"}, {"name", name}, {"reason", why}}));
        }
        account(sent);
    }
    void skipped(const std::filesystem::path& path, const std::string& why) override {
        reply_->sendLine(line({{"event", "skipped"}, {"path", path.string()}, {"reason", why}}));
        account(false);
    }

private:
    void account(bool sent) {
        (sent ? sent_ : failed_) += 1;
        if (left_ > 0 && --left_ == 0) end(0, 0);
    }
    void end(int moreSent, int moreFailed) {
        reply_->sendLine(line({{"event", "done"}, {"sent", sent_ + moreSent}, {"failed", failed_ + moreFailed}}));
        reply_->finish();
        left_ = 0;
    }

    std::shared_ptr<LocalCommandReply> reply_;
    size_t left_;
    int sent_ = 0;
    int failed_ = 0;
};

}  // namespace

PhoneFileSender::PhoneFileSender(CurrentTransfer current, std::function<void(const std::string&)> report,
                                 std::shared_ptr<const L10n> l10n)
    : current_(std::move(current)), report_(std::move(report)), l10n_(std::move(l10n)) {}

bool PhoneFileSender::send(std::vector<std::filesystem::path> paths, std::shared_ptr<FileSendObserver> observer) {
    auto files = current_ ? current_() : nullptr;
    if (!files) {
        if (report_) report_(l10n_ ? l10n_->t("没有已连接的 iPhone") : std::string("No iPhone connected"));
        return false;
    }
    files->sendFiles(std::move(paths), std::move(observer));
    return true;
}

void PhoneFileSender::handleCommand(const std::vector<std::string>& request,
                                    const std::shared_ptr<LocalCommandReply>& reply) {
    if (request.size() < 2 || request.front() != "send") {
        reply->sendLine(line({{"event", "error"}, {"reason", "unknown command; this agent takes: send FILE..."}}));
        reply->finish();
        return;
    }
    std::vector<std::filesystem::path> paths;
    for (size_t i = 1; i < request.size(); ++i) {
        std::filesystem::path path(request[i]);
        if (!path.is_absolute()) {
            reply->sendLine(line({{"event", "error"}, {"reason", "not an absolute path: " + request[i]}}));
            reply->finish();
            return;
        }
        paths.push_back(std::move(path));
    }
    const size_t count = paths.size();
    if (!send(std::move(paths), std::make_shared<CommandObserver>(reply, count))) {
        reply->sendLine(line({{"event", "noPhone"}}));
        reply->finish();
    }
}

}  // namespace df
