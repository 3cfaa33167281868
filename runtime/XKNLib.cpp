// Address helpers of the socket layer: the text forms of IPv4 and IPv6
// addresses, address lookup for hosts, ports and service names, local
// socket paths, and the text shown for an accepted peer.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>

#include "runtime/XKNInternal.h"
#include "runtime/XKNSocket.h"
#include "runtime/XKWStr.h"
#include "runtime/XKWText.h"

namespace {

// Parse "g:g:...:g" (1..4 hex digits each) of text[0..len) into groups;
// an empty text gives no groups. Returns the count or -1 when malformed.
int parse_groups(const char* text, size_t len, uint16_t* groups, int max)
{
    if (len == 0)
        return 0;
    int n = 0;
    size_t i = 0;
    for (;;) {
        unsigned value = 0;
        int digits = 0;
        while (i < len && XKWTextDigit(text[i]) >= 0) {
            if (++digits > 4)
                return -1;
            value = value * 16 + static_cast<unsigned>(XKWTextDigit(text[i]));
            ++i;
        }
        if (digits == 0 || n == max)
            return -1;
        groups[n++] = static_cast<uint16_t>(value);
        if (i == len)
            return n;
        if (text[i] != ':' || ++i == len)
            return -1;  // junk, or a trailing single ':'
    }
}

int32_t parse_ipv6(const char* text, uint8_t* out)
{
    size_t len = strnlen(text, 64);
    if (len == 0 || len >= 64)
        return XKW_E_INVAL;
    uint16_t head[8] = {}, tail[8] = {};
    int nh, nt = 0;
    const char* gap = strstr(text, "::");
    if (gap == nullptr) {
        nh = parse_groups(text, len, head, 8);
        if (nh != 8)
            return XKW_E_INVAL;
    } else {
        size_t hl = static_cast<size_t>(gap - text);
        const char* rest = gap + 2;
        // One "::" only, and it must not touch a further ':' (":::").
        if (strstr(rest, "::") != nullptr || *rest == ':')
            return XKW_E_INVAL;
        nh = parse_groups(text, hl, head, 8);
        nt = parse_groups(rest, len - hl - 2, tail, 8);
        // "::" stands for at least one zero group.
        if (nh < 0 || nt < 0 || nh + nt > 7)
            return XKW_E_INVAL;
    }
    uint16_t groups[8] = {};
    for (int i = 0; i < nh; ++i)
        groups[i] = head[i];
    for (int i = 0; i < nt; ++i)
        groups[8 - nt + i] = tail[i];
    for (int i = 0; i < 8; ++i) {
        out[2 * i] = static_cast<uint8_t>(groups[i] >> 8);
        out[2 * i + 1] = static_cast<uint8_t>(groups[i] & 0xFF);
    }
    return XKW_OK;
}

int32_t parse_ipv4(const char* text, uint8_t* out)
{
    const char* p = text;
    for (int part = 0; part < 4; ++part) {
        if (part > 0 && *p++ != '.')
            return XKW_E_INVAL;
        int value = 0, digits = 0;
        while (*p >= '0' && *p <= '9') {
            if (++digits > 3)
                return XKW_E_INVAL;
            value = value * 10 + (*p++ - '0');
        }
        if (digits == 0 || value > 255)
            return XKW_E_INVAL;
        out[part] = static_cast<uint8_t>(value);
    }
    return *p == '\0' ? XKW_OK : XKW_E_INVAL;
}

// Text of an IPv6 address into buf (at least 40 bytes): eight %x groups,
// the first run of zero groups (one or more) shortened to "::".
int format_ipv6(const uint8_t* a, char* buf)
{
    unsigned g[8];
    for (int i = 0; i < 8; ++i)
        g[i] = (static_cast<unsigned>(a[2 * i]) << 8) | a[2 * i + 1];
    int run = 0;
    while (run < 8 && g[run] != 0)
        ++run;
    int end = run;
    while (end < 8 && g[end] == 0)
        ++end;
    int n = 0;
    for (int i = 0; i < 8; ++i) {
        if (i == run) {
            n += sprintf(buf + n, "::");
            i = end - 1;
            continue;
        }
        bool after_gap = run < 8 && i == end;
        n += sprintf(buf + n, (i == 0 || after_gap) ? "%x" : ":%x", g[i]);
    }
    return n;
}

int32_t gai_error(int rc)
{
    switch (rc) {
    case EAI_NONAME:
#ifdef EAI_NODATA
    case EAI_NODATA:
#endif
        return XKN_E_HOSTNOTFOUND;
    case EAI_AGAIN:
        return -11002;
    case EAI_SERVICE:
        return -10109;
    case EAI_FAMILY:
        return -10047;
    case EAI_SOCKTYPE:
        return -10044;
    case EAI_BADFLAGS:
        return -10022;
    case EAI_MEMORY:
        return XKW_E_NOMEM;
    case EAI_SYSTEM:
        return xkn::last_error();
    default:
        return -11003;  // unrecoverable lookup failure
    }
}

}  // namespace

int32_t XKNAddrParse(int32_t family, const char* text, void* address_out)
{
    if (text == nullptr || address_out == nullptr)
        return XKW_E_INVAL;
    auto* out = static_cast<uint8_t*>(address_out);
    if (family == XKN_FAMILY_IPV4)
        return parse_ipv4(text, out);
    if (family == XKN_FAMILY_IPV6)
        return parse_ipv6(text, out);
    return XKW_E_INVAL;
}

int32_t XKNAddrFormat(int32_t family, const void* address, char* text, size_t size)
{
    if (address == nullptr || text == nullptr || size == 0)
        return XKW_E_INVAL;
    text[0] = '\0';
    const auto* a = static_cast<const uint8_t*>(address);
    char buf[48];
    int n;
    if (family == XKN_FAMILY_IPV4)
        n = sprintf(buf, "%d.%d.%d.%d", a[0], a[1], a[2], a[3]);
    else if (family == XKN_FAMILY_IPV6)
        n = format_ipv6(a, buf);
    else
        return XKW_E_INVAL;
    if (static_cast<size_t>(n) >= size)
        return XKW_E_INVAL;
    memcpy(text, buf, static_cast<size_t>(n) + 1);
    return n;
}

int32_t XKNResolve(int32_t flags, const char* host, int32_t port, const char* service,
                   int32_t type, void* address_out, int32_t* length, int32_t* family,
                   int32_t* socktype, int32_t* protocol)
{
    XKNStartup();
    if (address_out == nullptr || length == nullptr || *length <= 0)
        return XKW_E_INVAL;
    bool has_host = host != nullptr && host[0] != '\0';
    int st = type == 1 ? SOCK_STREAM : SOCK_DGRAM;
    int32_t p = port > 0 ? (port & 0xFFFF) : 0;
    int32_t fam = flags & XKN_FAMILY_MASK;

    if (fam == XKN_FAMILY_LOCAL) {
        sockaddr_un un{};
        if (!has_host)
            return XKW_E_INVAL;
        size_t n = strnlen(host, sizeof un.sun_path);
        if (n >= sizeof un.sun_path || *length < static_cast<int32_t>(sizeof un))
            return XKW_E_INVAL;
        un.sun_family = AF_UNIX;
        memcpy(un.sun_path, host, n);
        memcpy(address_out, &un, sizeof un);
        *length = static_cast<int32_t>(sizeof un);
        if (family != nullptr)
            *family = AF_UNIX;
        if (socktype != nullptr)
            *socktype = st;
        if (protocol != nullptr)
            *protocol = 0;
        return p;
    }

    addrinfo hints{};
    hints.ai_family = fam == XKN_FAMILY_IPV4 ? AF_INET : fam == XKN_FAMILY_IPV6 ? AF_INET6 : AF_UNSPEC;
    hints.ai_socktype = st;
    hints.ai_flags = has_host ? 0 : AI_PASSIVE;
    char num[16];
    const char* serv = nullptr;
    if (p > 0) {
        snprintf(num, sizeof num, "%d", p);
        serv = num;
        hints.ai_flags |= AI_NUMERICSERV;
    } else if (service != nullptr && service[0] != '\0') {
        serv = service;
    } else {
        serv = "0";  // the lookup needs a host or a service; 0 = any free port
        hints.ai_flags |= AI_NUMERICSERV;
    }
    addrinfo* res = nullptr;
    int rc = getaddrinfo(has_host ? host : nullptr, serv, &hints, &res);
    if (rc != 0)
        return gai_error(rc);
    int32_t result = p;
    if (res->ai_addrlen > static_cast<socklen_t>(*length)) {
        result = XKW_E_INVAL;
    } else {
        memcpy(address_out, res->ai_addr, res->ai_addrlen);
        *length = static_cast<int32_t>(res->ai_addrlen);
        if (family != nullptr)
            *family = res->ai_family;
        if (socktype != nullptr)
            *socktype = res->ai_socktype;
        if (protocol != nullptr)
            *protocol = res->ai_protocol;
        if (p == 0) {
            // The port the service name stands for.
            if (res->ai_family == AF_INET)
                result = ntohs(reinterpret_cast<const sockaddr_in*>(res->ai_addr)->sin_port);
            else if (res->ai_family == AF_INET6)
                result = ntohs(reinterpret_cast<const sockaddr_in6*>(res->ai_addr)->sin6_port);
        }
    }
    freeaddrinfo(res);
    return result;
}

int32_t xkn::family_bits(int fd)
{
    int domain = 0;
    socklen_t len = sizeof domain;
    if (getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &len) != 0)
        return 0;
    switch (domain) {
    case AF_INET:
        return XKN_FAMILY_IPV4;
    case AF_INET6:
        return XKN_FAMILY_IPV6;
    case AF_UNIX:
        return XKN_FAMILY_LOCAL;
    default:
        return 0;
    }
}

void xkn::peer_name(int fd, const sockaddr* addr, socklen_t len, char* out, size_t size)
{
    if (out == nullptr || size == 0)
        return;
    char text[NI_MAXHOST] = "";
    if (addr->sa_family == AF_INET) {
        XKNAddrFormat(XKN_FAMILY_IPV4, &reinterpret_cast<const sockaddr_in*>(addr)->sin_addr, text,
                      sizeof text);
    } else if (addr->sa_family == AF_INET6) {
        const auto* a6 = &reinterpret_cast<const sockaddr_in6*>(addr)->sin6_addr;
        // A dual-stack listener sees IPv4 peers as ::ffff:a.b.c.d; show them
        // as the IPv4 hosts they are.
        if (IN6_IS_ADDR_V4MAPPED(a6))
            XKNAddrFormat(XKN_FAMILY_IPV4, a6->s6_addr + 12, text, sizeof text);
        else
            XKNAddrFormat(XKN_FAMILY_IPV6, a6, text, sizeof text);
    } else if (addr->sa_family == AF_UNIX) {
        const auto* un = reinterpret_cast<const sockaddr_un*>(addr);
        size_t off = offsetof(sockaddr_un, sun_path);
        if (len > off && un->sun_path[0] != '\0') {
            size_t n = strnlen(un->sun_path, len - off);
            memcpy(text, un->sun_path, n);
            text[n] = '\0';
        } else {
            // An unnamed client: show the path it connected to.
            sockaddr_un self{};
            socklen_t sl = sizeof self;
            if (getsockname(fd, reinterpret_cast<sockaddr*>(&self), &sl) == 0 && sl > off) {
                size_t n = strnlen(self.sun_path, sl - off);
                memcpy(text, self.sun_path, n);
                text[n] = '\0';
            }
        }
    }
    if ((options() & XKN_OPT_NUMERIC) == 0 &&
        (addr->sa_family == AF_INET || addr->sa_family == AF_INET6)) {
        char host[NI_MAXHOST];
        if (getnameinfo(addr, len, host, sizeof host, nullptr, 0, NI_NAMEREQD) == 0)
            memcpy(text, host, sizeof host);
    }
    XKWStrCopy(out, text, size);
}
