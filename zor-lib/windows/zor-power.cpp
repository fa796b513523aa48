// The sleep inhibitor over sd-bus: org.freedesktop.login1.Manager.Inhibit on
// the system bus. The bus connection is only needed for the call; the block
// lives as long as the file descriptor that the call returns.
//
// The call is sent asynchronously and the bus is driven here up to the
// caller's time-out: a synchronous call would wait out sd-bus's own limits
// (90 seconds for a bus that accepts the connection and never answers).
#include "zor-power.h"

#include "zor-unicode.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

namespace {

CWideString ErrnoText(int nNegErrno) {
    return Utf8ToWide(strerror(nNegErrno < 0 ? -nNegErrno : nNegErrno));
}

// The answer to the inhibit call.
struct InhibitAnswer {
    bool bDone = false;
    int fd = -1; // our own copy of the block's descriptor
    CWideString sErr;
};

int OnInhibitReply(sd_bus_message* m, void* userdata, sd_bus_error*) {
    InhibitAnswer& a = *static_cast<InhibitAnswer*>(userdata);
    a.bDone = true;
    if (sd_bus_message_is_method_error(m, nullptr)) {
        const sd_bus_error* e = sd_bus_message_get_error(m);
        a.sErr = u"sleep inhibitor refused: ";
        a.sErr += e && e->message ? Utf8ToWide(e->message) : ErrnoText(sd_bus_message_get_errno(m));
        return 0;
    }
    int fd = -1;
    const int r = sd_bus_message_read(m, "h", &fd);
    if (r < 0 || fd < 0) {
        a.sErr = u"bad answer to the inhibit call: " + ErrnoText(r < 0 ? r : -EBADMSG);
        return 0;
    }
    // The descriptor belongs to the message: keep a copy of our own.
    a.fd = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    if (a.fd < 0) a.sErr = u"cannot keep the inhibitor: " + ErrnoText(-errno);
    return 0;
}

} // namespace

bool ZorSleepInhibitor::Acquire(const CWideString& who, const CWideString& why, CWideString& err,
                                int nTimeoutMs) {
    Release();
    if (nTimeoutMs <= 0) nTimeoutMs = 1;
    sd_bus* bus = nullptr;
    int r = sd_bus_open_system(&bus);
    if (r < 0) {
        err = u"no system bus: " + ErrnoText(r);
        return false;
    }
    sd_bus_message* msg = nullptr;
    sd_bus_slot* slot = nullptr;
    InhibitAnswer answer;
    const CNarrowString sWho = WideToUtf8(who), sWhy = WideToUtf8(why);
    r = sd_bus_message_new_method_call(bus, &msg, "org.freedesktop.login1", "/org/freedesktop/login1",
                                       "org.freedesktop.login1.Manager", "Inhibit");
    if (r >= 0) r = sd_bus_message_append(msg, "ssss", "sleep", sWho.GetString(), sWhy.GetString(), "block");
    if (r >= 0) r = sd_bus_call_async(bus, &slot, msg, OnInhibitReply, &answer, (uint64_t)nTimeoutMs * 1000);
    if (r < 0) {
        err = u"cannot send the inhibit call: " + ErrnoText(r);
    } else {
        // A wait on the bus socket: real time, not the program's clock.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(nTimeoutMs);
        while (!answer.bDone) {
            r = sd_bus_process(bus, nullptr);
            if (r < 0) {
                err = u"system bus failed: " + ErrnoText(r);
                break;
            }
            if (r > 0) continue;
            const auto left = std::chrono::duration_cast<std::chrono::microseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                err = u"no answer from the login manager in time";
                break;
            }
            r = sd_bus_wait(bus, (uint64_t)left.count());
            if (r < 0 && r != -EINTR) {
                err = u"system bus failed: " + ErrnoText(r);
                break;
            }
        }
        if (answer.bDone) {
            m_fd = answer.fd;
            if (m_fd < 0) err = answer.sErr;
        }
    }
    sd_bus_slot_unref(slot);
    sd_bus_message_unref(msg);
    // No flush: on a bus that never finished the handshake it would wait
    // out sd-bus's own limit. Nothing is left to send anyway.
    sd_bus_close(bus);
    sd_bus_unref(bus);
    return m_fd >= 0;
}

void ZorSleepInhibitor::Release() {
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}
