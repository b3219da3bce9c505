#include "platform/linux/command/UnixCommandSocket.h"

#include <asio/local/stream_protocol.hpp>
#include <asio/write.hpp>

#include <array>
#include <cerrno>
#include <fcntl.h>
#include <optional>
#include <cstring>
#include <deque>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace df {
namespace {

using Socket = asio::local::stream_protocol::socket;
/// A request larger than this is not a list of file names: the caller is dropped.
constexpr size_t kMaxRequest = 1 << 20;

bool peerIsThisUser(int fd) {
    ucred cred{};
    socklen_t length = sizeof cred;
    return ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &length) == 0 && cred.uid == ::geteuid();
}

/// The folder of the socket: made when missing, this user's, entered by nobody else.
std::optional<std::string> secureFolder(const std::filesystem::path& folder) {
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return "mkdir " + folder.string() + ": " + std::strerror(errno);
    struct stat st {};
    if (::lstat(folder.c_str(), &st) != 0) return "stat " + folder.string() + ": " + std::strerror(errno);
    if (!S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()) return folder.string() + " is not a folder of this user";
    if ((st.st_mode & 077) != 0 && ::chmod(folder.c_str(), 0700) != 0)
        return "chmod " + folder.string() + ": " + std::strerror(errno);
    return std::nullopt;
}

class Reply final : public LocalCommandReply, public std::enable_shared_from_this<Reply> {
public:
    Reply(std::shared_ptr<SerialQueue> queue, Socket socket) : queue_(std::move(queue)), socket_(std::move(socket)) {}

    void sendLine(std::string line) override {
        queue_->post([self = shared_from_this(), line = std::move(line)]() mutable {
            if (self->done_) return;
            self->pending_.push_back(std::move(line) + "\n");
            self->pump();
        });
    }
    void finish() override {
        queue_->post([self = shared_from_this()] {
            self->finished_ = true;
            self->pump();
        });
    }

private:
    void pump() {
        if (writing_ || done_) return;
        if (pending_.empty()) {
            if (finished_) close();
            return;
        }
        writing_ = true;
        asio::async_write(socket_, asio::buffer(pending_.front()),
                          [self = shared_from_this()](const std::error_code& ec, size_t) {
                              self->writing_ = false;
                              if (ec) {
                                  self->close();  // the caller has gone
                                  return;
                              }
                              self->pending_.pop_front();
                              self->pump();
                          });
    }
    void close() {
        done_ = true;
        pending_.clear();
        std::error_code ignored;
        socket_.shutdown(Socket::shutdown_both, ignored);
        socket_.close(ignored);
    }

    std::shared_ptr<SerialQueue> queue_;
    Socket socket_;
    std::deque<std::string> pending_;
    bool writing_ = false;
    bool finished_ = false;
    bool done_ = false;
};

/// Reads one request, then hands the socket to a Reply.
class Request final : public std::enable_shared_from_this<Request> {
public:
    Request(std::shared_ptr<SerialQueue> queue, Socket socket, LocalCommandHandler handler)
        : queue_(std::move(queue)), socket_(std::move(socket)), handler_(std::move(handler)) {}

    void read() {
        socket_.async_read_some(asio::buffer(buffer_), [self = shared_from_this()](const std::error_code& ec, size_t n) {
            if (ec) return;  // the caller went before finishing its request
            self->data_.append(self->buffer_.data(), n);
            if (self->data_.size() > kMaxRequest) return;
            if (auto words = self->complete()) {
                auto reply = std::make_shared<Reply>(self->queue_, std::move(self->socket_));
                self->handler_(std::move(*words), reply);
                return;
            }
            self->read();
        });
    }

private:
    /// The words once the empty word that ends the request has arrived.
    std::optional<std::vector<std::string>> complete() const {
        std::vector<std::string> words;
        size_t start = 0;
        for (size_t nul; (nul = data_.find('\0', start)) != std::string::npos; start = nul + 1) {
            if (nul == start) return words;
            words.push_back(data_.substr(start, nul - start));
        }
        return std::nullopt;
    }

    std::shared_ptr<SerialQueue> queue_;
    Socket socket_;
    LocalCommandHandler handler_;
    std::array<char, 4096> buffer_{};
    std::string data_;
};

class Server final : public UnixCommandServer, public std::enable_shared_from_this<Server> {
public:
    Server(std::shared_ptr<SerialQueue> queue, std::filesystem::path path, LocalCommandHandler handler)
        : queue_(std::move(queue)), path_(std::move(path)), handler_(std::move(handler)), acceptor_(queue_->context()) {}
    ~Server() override { removeSocket(); }

    std::optional<std::string> listen() {
        std::error_code ec;
        acceptor_.open(asio::local::stream_protocol(), ec);
        if (!ec) acceptor_.bind(asio::local::stream_protocol::endpoint(path_.string()), ec);
        if (ec) return "bind " + path_.string() + ": " + ec.message();
        bound_ = true;
        if (::chmod(path_.c_str(), 0600) != 0) return "chmod " + path_.string() + ": " + std::strerror(errno);
        acceptor_.listen(asio::socket_base::max_listen_connections, ec);
        if (ec) return "listen " + path_.string() + ": " + ec.message();
        ::fcntl(acceptor_.native_handle(), F_SETFD, FD_CLOEXEC);
        return std::nullopt;
    }
    void accept() {
        acceptor_.async_accept([weak = weak_from_this()](const std::error_code& ec, Socket socket) {
            auto self = weak.lock();
            if (!self || ec == asio::error::operation_aborted || !self->acceptor_.is_open()) return;
            if (!ec) {
                ::fcntl(socket.native_handle(), F_SETFD, FD_CLOEXEC);
                if (peerIsThisUser(socket.native_handle())) {
                    std::make_shared<Request>(self->queue_, std::move(socket), self->handler_)->read();
                }
            }
            self->accept();
        });
    }
    void stop() override {
        queue_->sync([this] {
            std::error_code ignored;
            acceptor_.close(ignored);
        });
        removeSocket();
    }

private:
    void removeSocket() {
        if (bound_) ::unlink(path_.c_str());
        bound_ = false;
    }

    std::shared_ptr<SerialQueue> queue_;
    std::filesystem::path path_;
    LocalCommandHandler handler_;
    asio::local::stream_protocol::acceptor acceptor_;
    bool bound_ = false;
};

int connectTo(const std::filesystem::path& path, int& error) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.string().size() >= sizeof address.sun_path) {
        error = ENAMETOOLONG;
        return -1;
    }
    std::strcpy(address.sun_path, path.c_str());
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = errno;
        return -1;
    }
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        error = errno;
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

Result<std::shared_ptr<UnixCommandServer>> startUnixCommandServer(std::shared_ptr<SerialQueue> queue,
                                                                  const std::filesystem::path& socketPath,
                                                                  LocalCommandHandler handler) {
    if (auto problem = secureFolder(socketPath.parent_path())) return Failure{*problem};
    // A socket left by an agent that ended is taken over; one that answers is not.
    int error = 0;
    if (int fd = connectTo(socketPath, error); fd >= 0) {
        ::close(fd);
        return Failure{"another agent already listens at " + socketPath.string()};
    }
    if (error == ECONNREFUSED) ::unlink(socketPath.c_str());
    std::shared_ptr<Server> server;
    std::optional<std::string> problem;
    queue->sync([&] {
        server = std::make_shared<Server>(queue, socketPath, std::move(handler));
        problem = server->listen();
        if (!problem) server->accept();
    });
    if (problem) {
        queue->sync([&] { server.reset(); });
        return Failure{*problem};
    }
    return std::shared_ptr<UnixCommandServer>(server);
}

std::optional<UnixCommandError> runUnixCommand(const std::filesystem::path& socketPath,
                                               const std::vector<std::string>& request,
                                               const std::function<void(const std::string&)>& onLine) {
    int error = 0;
    const int fd = connectTo(socketPath, error);
    if (fd < 0) {
        const bool absent = error == ENOENT || error == ECONNREFUSED || error == ENOTDIR;
        return UnixCommandError{absent ? UnixCommandError::Kind::notRunning : UnixCommandError::Kind::other,
                                socketPath.string() + ": " + std::strerror(error)};
    }
    if (!peerIsThisUser(fd)) {
        ::close(fd);
        return UnixCommandError{UnixCommandError::Kind::refused,
                                socketPath.string() + " belongs to another user; not talking to it"};
    }
    std::string out;
    for (const auto& word : request) {
        out += word;
        out += '\0';
    }
    out += '\0';
    for (size_t done = 0; done < out.size();) {
        const ssize_t n = ::write(fd, out.data() + done, out.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            const int e = errno;
            ::close(fd);
            return UnixCommandError{UnixCommandError::Kind::other, std::string("sending the request: ") + std::strerror(e)};
        }
        done += static_cast<size_t>(n);
    }
    std::string pending;
    char buffer[4096];
    while (true) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            const int e = errno;
            ::close(fd);
            return UnixCommandError{UnixCommandError::Kind::other, std::string("reading the answer: ") + std::strerror(e)};
        }
        if (n == 0) break;
        pending.append(buffer, static_cast<size_t>(n));
        for (size_t nl; (nl = pending.find('\n')) != std::string::npos;) {
            onLine(pending.substr(0, nl));
            pending.erase(0, nl + 1);
        }
    }
    ::close(fd);
    return std::nullopt;
}

}  // namespace df
