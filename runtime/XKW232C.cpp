// Serial ports through termios.
//
// A port is opened non-blocking and kept so: every read and write waits in
// poll() on the device and on the port's wake descriptor, so the timeout of
// a read is simply the poll timeout of each byte (nothing is kept between
// calls), and a close wakes every call still waiting on the port before it
// releases it. The line runs raw (cfmakeraw): no echo, no line editing, no
// translation of CR/LF, 8-bit clean.
//
// Exclusive use: TIOCEXCL keeps other openers out of the tty, and an flock()
// on the descriptor keeps out cooperating processes that TIOCEXCL lets
// through (it does not stop the superuser).
//
// Linux keeps the driver queue sizes itself (4 KiB for a UART) and has no
// call to change them, and it has no XON/XOFF thresholds either: the tty
// layer sends XOFF when its own buffer fills. Neither is set here.
#include "runtime/XKW232C.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "runtime/XKWHandle.h"
#include "runtime/XKWResult.h"

namespace {

struct XKW232CPort {
    int fd = -1;    // the device, non-blocking
    int wake = -1;  // eventfd, made readable by the close
    ~XKW232CPort()
    {
        if (fd >= 0)
            ::close(fd);
        if (wake >= 0)
            ::close(wake);
    }
};

XKWHandleTable<XKW232CPort, XKW_HANDLES_SMALL> port_table;

constexpr int32_t open_failed = -5;  // the device cannot be opened or set up

struct Speed {
    int32_t bps;
    speed_t code;
};

constexpr Speed speeds[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},         {150, B150},
    {200, B200},         {300, B300},         {600, B600},         {1200, B1200},       {1800, B1800},
    {2400, B2400},       {4800, B4800},       {9600, B9600},       {19200, B19200},     {38400, B38400},
    {57600, B57600},     {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
    {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
};

// The termios code of a speed; a speed without one runs as a custom
// speed (code 0 here), set through the kernel's termios2 interface.
bool speed_code(int32_t bps, speed_t* code)
{
    if (bps <= 0)
        return false;
    *code = 0;
    for (const Speed& s : speeds) {
        if (s.bps == bps) {
            *code = s.code;
            break;
        }
    }
    return true;
}

}  // namespace

// The kernel's termios2 (as in asm/termbits.h, which cannot be included
// beside <termios.h>): the same flags plus the speeds in bit/s. Its name
// is the one the TCGETS2 and TCSETS2 request codes are made of.
struct termios2 {
    tcflag_t c_iflag;
    tcflag_t c_oflag;
    tcflag_t c_cflag;
    tcflag_t c_lflag;
    cc_t c_line;
    cc_t c_cc[19];
    speed_t c_ispeed;
    speed_t c_ospeed;
};

namespace {

constexpr tcflag_t custom_speed = 0x1000;  // the kernel's BOTHER: speed in c_ospeed
constexpr int input_speed_shift = 16;      // the kernel's IBSHIFT

// Run the line at bps bit/s that have no termios code; false when the line
// cannot take the speed.
bool set_custom_speed(int fd, int32_t bps)
{
    termios2 tio{};
    if (ioctl(fd, TCGETS2, &tio) != 0)
        return false;
    tio.c_cflag &= ~(CBAUD | (CBAUD << input_speed_shift));
    tio.c_cflag |= custom_speed | (custom_speed << input_speed_shift);
    tio.c_ispeed = static_cast<speed_t>(bps);
    tio.c_ospeed = static_cast<speed_t>(bps);
    if (ioctl(fd, TCSETS2, &tio) != 0)
        return false;
    termios2 got{};
    return ioctl(fd, TCGETS2, &got) == 0 && got.c_ospeed == static_cast<speed_t>(bps);
}

constexpr tcflag_t parity_bits = PARENB | PARODD | CMSPAR;

// The c_cflag parity bits of a parity code; false for an unknown code.
bool parity_flags(int32_t parity, tcflag_t* bits)
{
    switch (parity) {
    case XKW_232C_NONE: *bits = 0; return true;
    case XKW_232C_ODD: *bits = PARENB | PARODD; return true;
    case XKW_232C_EVEN: *bits = PARENB; return true;
    case XKW_232C_MARK: *bits = PARENB | CMSPAR | PARODD; return true;
    case XKW_232C_SPACE: *bits = PARENB | CMSPAR; return true;
    default: return false;
    }
}

bool size_flags(int32_t bits, tcflag_t* size)
{
    switch (bits) {
    case 5: *size = CS5; return true;
    case 6: *size = CS6; return true;
    case 7: *size = CS7; return true;
    case 8: *size = CS8; return true;
    default: return false;
    }
}

// The settings of one open, checked before anything is allocated.
struct Line {
    int32_t bps;
    speed_t speed;  // its termios code, 0 for a custom speed
    tcflag_t cflag;  // size, parity and stop bits
    int32_t flags;
};

int32_t check_line(int32_t speed, int32_t bits, int32_t parity, int32_t stop, int32_t flags, Line* line)
{
    tcflag_t size = 0;
    tcflag_t par = 0;
    if (!speed_code(speed, &line->speed) || !size_flags(bits, &size) || !parity_flags(parity, &par))
        return XKW_E_INVAL;
    if ((flags & XKW_232C_SETDTR) != 0 && (flags & XKW_232C_DTRMASK) == XKW_232C_DTRMASK)
        return XKW_E_INVAL;
    // RTS raised only while sending needs the driver's RS-485 mode, which a
    // plain port does not offer.
    if ((flags & XKW_232C_SETRTS) != 0 && (flags & XKW_232C_RTSMASK) == 0x60)
        return XKW_E_INVAL;
    line->bps = speed;
    line->cflag = size | par | (stop == 2 ? CSTOPB : 0);
    line->flags = flags;
    return XKW_OK;
}

// Raise or drop a modem line. A pty has no modem lines and refuses the
// request; that is no reason to refuse the port.
bool modem_line(int fd, int bit, bool on)
{
    if (ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &bit) == 0)
        return true;
    return errno == ENOTTY || errno == EINVAL;
}

int32_t apply_line(int fd, const Line& line)
{
    termios tio{};
    if (tcgetattr(fd, &tio) != 0)
        return open_failed;
    cfmakeraw(&tio);
    tio.c_cflag &= ~(CSIZE | parity_bits | CSTOPB);
    tio.c_cflag |= line.cflag | CLOCAL | CREAD;
    if ((line.cflag & PARENB) != 0)
        tio.c_iflag |= INPCK;
    else
        tio.c_iflag &= ~INPCK;
    // A fresh tty has IXON on, which would swallow 0x11 and 0x13 in binary
    // data; software flow control runs only when asked for.
    tio.c_iflag &= ~(IXON | IXOFF | IXANY);
    if ((line.flags & XKW_232C_SOFTFLOW) != 0) {
        tio.c_cc[VSTART] = 0x11;
        tio.c_cc[VSTOP] = 0x13;
        if ((line.flags & XKW_232C_XONXOFF) != 0)
            tio.c_iflag |= IXON | IXOFF;
    }
    int32_t rts = line.flags & XKW_232C_RTSMASK;
    if ((line.flags & XKW_232C_SETRTS) != 0) {
        if (rts == 0x40)
            tio.c_cflag |= CRTSCTS;
        else
            tio.c_cflag &= ~CRTSCTS;
    }
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    if (line.speed != 0 && (cfsetispeed(&tio, line.speed) != 0 || cfsetospeed(&tio, line.speed) != 0))
        return XKW_E_INVAL;
    if (tcsetattr(fd, TCSANOW, &tio) != 0)
        return open_failed;
    // tcsetattr succeeds when any part was taken: read back the speed the
    // line runs. The character format is not read back, since a pty always
    // reports 8 bits without parity whatever it was given.
    if (line.speed == 0) {
        if (!set_custom_speed(fd, line.bps))
            return XKW_E_INVAL;
    } else {
        termios got{};
        if (tcgetattr(fd, &got) != 0)
            return open_failed;
        if (cfgetospeed(&got) != line.speed)
            return XKW_E_INVAL;
    }

    // Linux has no DTR/DSR handshake; in that mode DTR is simply kept up.
    if ((line.flags & XKW_232C_SETDTR) != 0 && !modem_line(fd, TIOCM_DTR, (line.flags & XKW_232C_DTRMASK) != 0))
        return open_failed;
    // Under RTS/CTS handshake the driver drives RTS itself.
    if ((line.flags & XKW_232C_SETRTS) != 0 && rts != 0x40 && !modem_line(fd, TIOCM_RTS, rts == 0x20))
        return open_failed;
    return XKW_OK;
}

// "COMn" names /dev/ttyS<n-1> unless a file of that very name exists.
void device_path(const char* port, char* path, size_t size)
{
    struct stat st;
    const char* digits = port + 3;
    char* tail = nullptr;
    long n = 0;
    if (strncasecmp(port, "COM", 3) == 0 && *digits >= '0' && *digits <= '9') {
        errno = 0;
        n = strtol(digits, &tail, 10);
    }
    if (tail != nullptr && *tail == '\0' && errno == 0 && n >= 1 && n <= INT_MAX && stat(port, &st) != 0)
        snprintf(path, size, "/dev/ttyS%ld", n - 1);
    else
        snprintf(path, size, "%s", port);
}

int32_t open_port(XKW232CPort& p, const char* path, const Line& line)
{
    p.fd = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (p.fd < 0)
        return open_failed;
    if (!isatty(p.fd) || ioctl(p.fd, TIOCEXCL) != 0 || flock(p.fd, LOCK_EX | LOCK_NB) != 0)
        return open_failed;
    p.wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (p.wake < 0)
        return errno == ENOMEM ? XKW_E_NOMEM : open_failed;
    return apply_line(p.fd, line);
}

// Wait until the device is ready for events. Returns 1 when ready, 0 when
// timeout_ms (-1: no limit) passed, -1 on a device error, a hang-up or a
// close of the port.
int wait_ready(const XKW232CPort& p, short events, int timeout_ms)
{
    for (;;) {
        pollfd fds[2] = {{p.fd, events, 0}, {p.wake, POLLIN, 0}};
        int rc = poll(fds, 2, timeout_ms);
        if (rc < 0 && errno == EINTR)
            continue;  // a signal: wait the whole byte time again
        if (rc < 0 || fds[1].revents != 0)
            return -1;
        if (rc == 0)
            return 0;
        if ((fds[0].revents & events) != 0)
            return 1;
        return -1;  // POLLERR, POLLHUP or POLLNVAL without data
    }
}

// The poll timeout of a read timeout: seconds above 0, milliseconds below.
int poll_timeout(int32_t timeout)
{
    if (timeout == 0)
        return -1;
    int64_t ms = timeout > 0 ? int64_t{timeout} * 1000 : -int64_t{timeout};
    return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

// Hold a port for the length of one call.
class Hold {
public:
    explicit Hold(int32_t handle) : handle_(handle), port_(port_table.Pin(handle)) {}
    ~Hold()
    {
        if (port_ != nullptr)
            port_table.Unpin(handle_);
    }
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;
    XKW232CPort* get() const { return port_; }

private:
    int32_t handle_;
    XKW232CPort* port_;
};

}  // namespace

int32_t XKW232COpen(const char* port, int32_t speed, int32_t bits, int32_t parity, int32_t stop, int32_t flags)
{
    if (port == nullptr || *port == '\0')
        return open_failed;
    Line line{};
    int32_t rc = check_line(speed, bits, parity, stop, flags, &line);
    if (rc < 0)
        return rc;
    char path[PATH_MAX];
    device_path(port, path, sizeof path);
    return port_table.Open([&](XKW232CPort& p) { return open_port(p, path, line); });
}

// Bytes stored so far are returned when the line fails after them: they
// are the caller's, and the next call reports the failure.
int32_t XKW232CRead(int32_t handle, void* buffer, int32_t length, int32_t timeout, int32_t end)
{
    Hold pin(handle);
    XKW232CPort* p = pin.get();
    if (p == nullptr)
        return XKW_E_BADHANDLE;
    if (buffer == nullptr || length < 0)
        return XKW_E_INVAL;
    auto* out = static_cast<unsigned char*>(buffer);
    int wait_ms = poll_timeout(timeout);
    int32_t n = 0;
    while (n < length) {
        int ready = wait_ready(*p, POLLIN, wait_ms);
        if (ready <= 0)
            return ready == 0 || n > 0 ? n : XKW_E_FAIL;
        // With an end byte, take one byte at a time so nothing behind it is
        // consumed.
        size_t want = end > 0 ? 1 : static_cast<size_t>(length - n);
        ssize_t got = ::read(p->fd, out + n, want);
        if (got < 0 && (errno == EAGAIN || errno == EINTR))
            continue;
        if (got <= 0)
            return n > 0 ? n : XKW_E_FAIL;
        n += static_cast<int32_t>(got);
        if (end > 0 && out[n - 1] == end)
            break;
    }
    return n;
}

int32_t XKW232CWrite(int32_t handle, const void* data, int32_t length)
{
    Hold pin(handle);
    XKW232CPort* p = pin.get();
    if (p == nullptr)
        return XKW_E_BADHANDLE;
    if (length < 0 || (data == nullptr && length > 0))
        return XKW_E_INVAL;
    const auto* in = static_cast<const unsigned char*>(data);
    int32_t n = 0;
    while (n < length) {
        ssize_t put = ::write(p->fd, in + n, static_cast<size_t>(length - n));
        if (put > 0) {
            n += static_cast<int32_t>(put);
            continue;
        }
        if (put < 0 && errno != EAGAIN && errno != EINTR)
            return n > 0 ? n : XKW_E_FAIL;
        // Output queue full (or held by flow control): wait for room.
        if (wait_ready(*p, POLLOUT, -1) < 0)
            return n > 0 ? n : XKW_E_FAIL;
    }
    return n;
}

// Linux keeps no error latch on a tty (a byte with a parity error arrives
// as NUL), so clearing the error state leaves only the count of waiting
// input. The input itself is kept.
int32_t XKW232CClear(int32_t handle)
{
    Hold pin(handle);
    XKW232CPort* p = pin.get();
    if (p == nullptr)
        return XKW_E_BADHANDLE;
    int waiting = 0;
    if (ioctl(p->fd, FIONREAD, &waiting) != 0)
        return XKW_E_FAIL;
    return waiting;
}

int32_t XKW232CClose(int32_t handle)
{
    XKW232CPort* p = port_table.Retire(handle);
    if (p == nullptr)
        return XKW_E_BADHANDLE;
    // Wake the calls still waiting on the port; they return at once and let go.
    uint64_t one = 1;
    ssize_t rc = ::write(p->wake, &one, sizeof one);
    (void)rc;
    while (port_table.Pinned(handle))
        usleep(1000);
    return port_table.Free(handle);  // closes the device
}
