#include "platform/linux/dnssd/AvahiAdvertiser.h"

#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/thread-watch.h>

#include <mutex>

namespace df {
namespace {

// Every Avahi callback runs on the threaded poll's own thread, with the poll's lock held;
// calls from other threads take that lock (avahi_threaded_poll_lock).
class AvahiAdvertiser final : public DnsSdAdvertiser {
public:
    AvahiAdvertiser() : poll_(avahi_threaded_poll_new()) {}

    ~AvahiAdvertiser() override {
        if (!poll_) return;
        avahi_threaded_poll_stop(poll_);
        if (client_) avahi_client_free(client_);  // frees the entry group too
        avahi_threaded_poll_free(poll_);
    }

    void advertise(const DnsSdService& service, Handler handler) override {
        if (!poll_) {
            handler(Event::daemonUnavailable, "cannot create the Avahi poll");
            return;
        }
        if (started_) {
            // Published again after a withdrawal: the client runs already.
            avahi_threaded_poll_lock(poll_);
            service_ = service;
            name_ = service.name;
            handler_ = std::move(handler);
            withdrawn_ = false;
            if (client_ && avahi_client_get_state(client_) == AVAHI_CLIENT_S_RUNNING) publish(client_);
            avahi_threaded_poll_unlock(poll_);
            return;
        }
        service_ = service;
        name_ = service.name;
        handler_ = std::move(handler);
        newClient();
        started_ = true;
        avahi_threaded_poll_start(poll_);
    }

    void withdraw() override {
        if (!poll_ || !started_) return;
        avahi_threaded_poll_lock(poll_);
        withdrawn_ = true;
        if (group_) avahi_entry_group_reset(group_);
        avahi_threaded_poll_unlock(poll_);
    }

private:
    void newClient() {
        int error = 0;
        // NO_FAIL: without a daemon the client waits in CONNECTING and publishes once the
        // daemon appears instead of failing.
        client_ = avahi_client_new(avahi_threaded_poll_get(poll_), AVAHI_CLIENT_NO_FAIL, &clientCallback, this,
                                   &error);
        if (!client_) report(Event::daemonUnavailable, avahi_strerror(error));
    }

    static void clientCallback(AvahiClient* c, AvahiClientState state, void* self) {
        static_cast<AvahiAdvertiser*>(self)->onClient(c, state);
    }

    void onClient(AvahiClient* c, AvahiClientState state) {
        switch (state) {
        case AVAHI_CLIENT_S_RUNNING:
            if (!withdrawn_) publish(c);
            break;
        case AVAHI_CLIENT_S_COLLISION:
        case AVAHI_CLIENT_S_REGISTERING:
            // The host name changes or is being registered; publish again when running.
            if (group_) avahi_entry_group_reset(group_);
            break;
        case AVAHI_CLIENT_CONNECTING:
            if (!reportedUnavailable_) {
                reportedUnavailable_ = true;
                report(Event::daemonUnavailable, "no Avahi daemon");
            }
            break;
        case AVAHI_CLIENT_FAILURE:
            if (avahi_client_errno(c) == AVAHI_ERR_DISCONNECTED) {
                // The daemon went away: start over and wait for it to come back.
                group_ = nullptr;
                avahi_client_free(c);
                client_ = nullptr;
                newClient();
            } else {
                report(Event::failed, avahi_strerror(avahi_client_errno(c)));
            }
            break;
        }
    }

    static void groupCallback(AvahiEntryGroup* g, AvahiEntryGroupState state, void* self) {
        static_cast<AvahiAdvertiser*>(self)->onGroup(g, state);
    }

    void onGroup(AvahiEntryGroup* g, AvahiEntryGroupState state) {
        switch (state) {
        case AVAHI_ENTRY_GROUP_ESTABLISHED:
            report(Event::registered, name_);
            break;
        case AVAHI_ENTRY_GROUP_COLLISION: {
            // Another host has this name: take Avahi's alternative ("name #2") and retry.
            char* alt = avahi_alternative_service_name(name_.c_str());
            name_ = alt;
            avahi_free(alt);
            report(Event::renamed, name_);
            avahi_entry_group_reset(g);
            if (!withdrawn_) addService(avahi_entry_group_get_client(g));
            break;
        }
        case AVAHI_ENTRY_GROUP_FAILURE:
            report(Event::failed, avahi_strerror(avahi_client_errno(avahi_entry_group_get_client(g))));
            break;
        case AVAHI_ENTRY_GROUP_UNCOMMITED:
        case AVAHI_ENTRY_GROUP_REGISTERING:
            break;
        }
    }

    void publish(AvahiClient* c) {
        if (!group_) group_ = avahi_entry_group_new(c, &groupCallback, this);
        if (!group_) {
            report(Event::failed, avahi_strerror(avahi_client_errno(c)));
            return;
        }
        if (avahi_entry_group_is_empty(group_)) addService(c);
    }

    void addService(AvahiClient* c) {
        AvahiStringList* txt = nullptr;
        const Bytes& rdata = service_.txt;
        for (size_t i = 0; i < rdata.size();) {
            size_t n = rdata[i];
            if (i + 1 + n > rdata.size()) break;
            txt = avahi_string_list_add_arbitrary(txt, rdata.data() + i + 1, n);
            i += 1 + n;
        }
        txt = avahi_string_list_reverse(txt);  // add_arbitrary prepends
        int rc = avahi_entry_group_add_service_strlst(group_, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC,
                                                      AvahiPublishFlags(0), name_.c_str(), service_.type.c_str(),
                                                      nullptr, nullptr, service_.port, txt);
        avahi_string_list_free(txt);
        if (rc == AVAHI_ERR_COLLISION) {
            char* alt = avahi_alternative_service_name(name_.c_str());
            name_ = alt;
            avahi_free(alt);
            report(Event::renamed, name_);
            addService(c);
            return;
        }
        if (rc < 0 || (rc = avahi_entry_group_commit(group_)) < 0) {
            report(Event::failed, avahi_strerror(rc));
        }
    }

    void report(Event e, const std::string& detail) {
        if (handler_) handler_(e, detail);
    }

    AvahiThreadedPoll* poll_ = nullptr;
    AvahiClient* client_ = nullptr;
    AvahiEntryGroup* group_ = nullptr;
    DnsSdService service_;
    std::string name_;
    Handler handler_;
    bool reportedUnavailable_ = false;
    bool started_ = false;    // caller's thread, before and after the poll runs
    bool withdrawn_ = false;  // under the poll's lock
};

}  // namespace

std::unique_ptr<DnsSdAdvertiser> createAvahiAdvertiser() { return std::make_unique<AvahiAdvertiser>(); }

}  // namespace df
