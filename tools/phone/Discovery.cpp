#include "tools/phone/Discovery.h"

#include "protocol/WireFrame.h"

#include <avahi-client/client.h>
#include <avahi-client/lookup.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/simple-watch.h>
#include <net/if.h>

#include <algorithm>
#include <chrono>
#include <memory>

namespace df::phone {

namespace {

struct BrowseState {
    AvahiSimplePoll* poll = nullptr;
    AvahiClient* client = nullptr;
    int pendingResolvers = 0;
    bool allForNow = false;
    std::string failure;
    std::vector<DiscoveredAgent> found;
};

std::string txtValue(AvahiStringList* txt, const char* key) {
    AvahiStringList* item = avahi_string_list_find(txt, key);
    if (!item) return {};
    char* k = nullptr;
    char* v = nullptr;
    size_t size = 0;
    if (avahi_string_list_get_pair(item, &k, &v, &size) < 0) return {};
    std::string value = v ? std::string(v, size) : std::string();
    avahi_free(k);
    avahi_free(v);
    return value;
}

void onResolved(AvahiServiceResolver* r, AvahiIfIndex interface, AvahiProtocol /*protocol*/,
                AvahiResolverEvent event, const char* name, const char* /*type*/,
                const char* /*domain*/, const char* hostName, const AvahiAddress* address,
                uint16_t port, AvahiStringList* txt, AvahiLookupResultFlags /*flags*/,
                void* userdata) {
    auto* state = static_cast<BrowseState*>(userdata);
    if (event == AVAHI_RESOLVER_FOUND && address) {
        DiscoveredAgent agent;
        agent.name = name ? name : "";
        agent.hostName = hostName ? hostName : "";
        char text[AVAHI_ADDRESS_STR_MAX] = {};
        avahi_address_snprint(text, sizeof text, address);
        agent.address = text;
        agent.port = port;
        agent.kind = txtValue(txt, "kind");
        agent.id = txtValue(txt, "id");
        char ifname[IF_NAMESIZE] = {};
        if (interface >= 0 && if_indextoname(static_cast<unsigned>(interface), ifname))
            agent.interfaceName = ifname;
        const bool seen = std::any_of(state->found.begin(), state->found.end(), [&](const auto& a) {
            return a.name == agent.name && a.address == agent.address && a.port == agent.port;
        });
        if (!seen) state->found.push_back(std::move(agent));
    }
    avahi_service_resolver_free(r);
    --state->pendingResolvers;
}

void onBrowse(AvahiServiceBrowser* /*b*/, AvahiIfIndex interface, AvahiProtocol protocol,
              AvahiBrowserEvent event, const char* name, const char* type, const char* domain,
              AvahiLookupResultFlags /*flags*/, void* userdata) {
    auto* state = static_cast<BrowseState*>(userdata);
    switch (event) {
        case AVAHI_BROWSER_NEW:
            if (avahi_service_resolver_new(state->client, interface, protocol, name, type, domain,
                                           AVAHI_PROTO_UNSPEC, static_cast<AvahiLookupFlags>(0),
                                           onResolved, state))
                ++state->pendingResolvers;
            break;
        case AVAHI_BROWSER_ALL_FOR_NOW:
            state->allForNow = true;
            break;
        case AVAHI_BROWSER_FAILURE:
            state->failure = std::string("browsing failed: ") +
                             avahi_strerror(avahi_client_errno(state->client));
            break;
        case AVAHI_BROWSER_REMOVE:
        case AVAHI_BROWSER_CACHE_EXHAUSTED:
            break;
    }
}

}  // namespace

Result<std::vector<DiscoveredAgent>> discoverAgents(double timeout) {
    BrowseState state;
    std::unique_ptr<AvahiSimplePoll, decltype(&avahi_simple_poll_free)> poll(
        avahi_simple_poll_new(), &avahi_simple_poll_free);
    if (!poll) return Failure{"cannot start the Avahi poll loop"};
    state.poll = poll.get();
    int error = 0;
    std::unique_ptr<AvahiClient, decltype(&avahi_client_free)> client(
        avahi_client_new(avahi_simple_poll_get(poll.get()), static_cast<AvahiClientFlags>(0),
                         nullptr, nullptr, &error),
        &avahi_client_free);
    if (!client)
        return Failure{std::string("the Avahi daemon cannot be reached (") + avahi_strerror(error) +
                       "); give the agent's address with --host"};
    state.client = client.get();
    const std::string type(DFConstants::bonjourType);
    AvahiServiceBrowser* browser =
        avahi_service_browser_new(client.get(), AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, type.c_str(),
                                  nullptr, static_cast<AvahiLookupFlags>(0), onBrowse, &state);
    if (!browser)
        return Failure{std::string("cannot browse for ") + type + ": " +
                       avahi_strerror(avahi_client_errno(client.get()))};

    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(static_cast<int64_t>(timeout * 1000));
    while (state.failure.empty() && !(state.allForNow && state.pendingResolvers == 0)) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) break;
        if (avahi_simple_poll_iterate(poll.get(), static_cast<int>(std::min<int64_t>(left, 100))) != 0)
            break;
    }
    avahi_service_browser_free(browser);
    if (!state.failure.empty()) return Failure{state.failure};
    return std::move(state.found);
}

std::string describe(const DiscoveredAgent& a) {
    const bool v6 = a.address.find(':') != std::string::npos;
    return "agent name=\"" + a.name + "\" address=" + (v6 ? "[" + a.address + "]" : a.address) +
           " port=" + std::to_string(a.port) + " kind=\"" + a.kind + "\" id=" + a.id +
           (a.interfaceName.empty() ? "" : " interface=" + a.interfaceName);
}

}  // namespace df::phone
