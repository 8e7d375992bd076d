// The keeper: a process of its own that cuts the output files back to their last whole record when
// the run dies without closing them.
#include "io/tail_keeper.h"

#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <limits>
#include <mutex>
#include <new>

namespace compact::tail_keeper {

namespace {

// Files watched at once: a CSV and a capture for each sender's file (at most 64), segments being
// rotated, standard output.
constexpr int slotCount = 256;

// A file whose whole end is this is never cut: it was released, or nothing was written yet.
constexpr int64_t leaveAlone = std::numeric_limits<int64_t>::max();

// One file's ends, written by the run before each write and read by the keeper after the run died.
struct Slot {
    std::atomic<int64_t> wholeEnd{leaveAlone};
    std::atomic<int64_t> writeEnd{0};
    std::atomic<bool> endsRecord{true};
};
static_assert(std::atomic<int64_t>::is_always_lock_free && std::atomic<bool>::is_always_lock_free,
              "the table is shared between processes");

enum class Op : uint32_t { watch, release, finish };
struct Message {
    Op op;
    uint32_t slot;
};

struct State {
    std::mutex lock;
    int socket = -1;  // the run's end; -1: no keeper (not started, or gone)
    pid_t keeper = -1;
    Slot* table = nullptr;
    bool used[slotCount] = {};
};

State& state() {
    static State shared;
    return shared;
}

// The keeper runs in a child forked from a process that may have other threads: only system calls
// from here on, no allocation, no locks.

void closeAllBut(int keep) {
    const auto keepFd = static_cast<unsigned>(keep);
    if ((keepFd == 0 || ::close_range(0, keepFd - 1, 0) == 0) &&
        ::close_range(keepFd + 1, ~0U, 0) == 0)
        return;
    rlimit limit{};
    const rlim_t top = ::getrlimit(RLIMIT_NOFILE, &limit) == 0 ? limit.rlim_cur : 1024;
    for (rlim_t fd = 0; fd < std::min<rlim_t>(top, 1 << 20); ++fd)
        if (static_cast<int>(fd) != keep) ::close(static_cast<int>(fd));
}

// Cuts every watched file that ends inside a record back to its last whole record.
void cutBack(const int (&files)[slotCount], const Slot* table) {
    for (int slot = 0; slot < slotCount; ++slot) {
        if (files[slot] < 0) continue;
        const int64_t whole = table[slot].wholeEnd.load();
        const int64_t end = table[slot].writeEnd.load();
        struct stat info {};
        if (::fstat(files[slot], &info) != 0 || !S_ISREG(info.st_mode)) continue;
        // Only the last write's bytes are cut: a file shorter than the whole end was emptied by
        // another program, and what lies past the write's end another program appended.
        const bool cut = info.st_size < end || (info.st_size == end && !table[slot].endsRecord);
        if (info.st_size > whole && cut) ::ftruncate(files[slot], whole);
    }
}

[[noreturn]] void keep(int socket, const Slot* table) {
    // Ctrl-C, Ctrl-\ and Ctrl-Z reach the whole process group, a service manager's stop request may
    // too: the keeper stays until the run is gone.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGTSTP, SIGTTIN, SIGTTOU})
        ::sigaction(signal, &ignore, nullptr);
    ::prctl(PR_SET_NAME, "compact_keeper", 0, 0, 0);

    int files[slotCount];
    std::fill(std::begin(files), std::end(files), -1);
    while (true) {
        Message message{};
        iovec part{&message, sizeof message};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
        msghdr header{};
        header.msg_iov = &part;
        header.msg_iovlen = 1;
        header.msg_control = control;
        header.msg_controllen = sizeof control;
        const ssize_t count = ::recvmsg(socket, &header, MSG_CMSG_CLOEXEC);
        if (count < 0 && errno == EINTR) continue;
        if (count < 0) ::_exit(1);  // cannot follow the run any more: touch nothing
        int received = -1;
        for (cmsghdr* rights = CMSG_FIRSTHDR(&header); rights != nullptr;
             rights = CMSG_NXTHDR(&header, rights)) {
            if (rights->cmsg_level == SOL_SOCKET && rights->cmsg_type == SCM_RIGHTS)
                std::memcpy(&received, CMSG_DATA(rights), sizeof received);
        }
        if (count == 0) break;  // every holder of the run's end is gone: the run died
        if (static_cast<size_t>(count) != sizeof message || message.slot >= slotCount) {
            if (received >= 0) ::close(received);
            continue;
        }
        int& file = files[message.slot];
        switch (message.op) {
            case Op::finish:
                ::_exit(0);
            case Op::watch:
                if (file >= 0) ::close(file);
                file = received;
                received = -1;
                break;
            case Op::release:
                if (file >= 0) ::close(file);
                file = -1;
                break;
        }
        if (received >= 0) ::close(received);
    }
    cutBack(files, table);
    ::_exit(0);
}

// Sends a message (with `fd`, unless -1) without waiting. A keeper that is gone is given up.
bool send(State& s, Op op, int slot, int fd = -1) {
    Message message{op, static_cast<uint32_t>(slot)};
    iovec part{&message, sizeof message};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr header{};
    header.msg_iov = &part;
    header.msg_iovlen = 1;
    if (fd >= 0) {
        header.msg_control = control;
        header.msg_controllen = sizeof control;
        cmsghdr* rights = CMSG_FIRSTHDR(&header);
        rights->cmsg_level = SOL_SOCKET;
        rights->cmsg_type = SCM_RIGHTS;
        rights->cmsg_len = CMSG_LEN(sizeof fd);
        std::memcpy(CMSG_DATA(rights), &fd, sizeof fd);
    }
    ssize_t sent;
    do {
        sent = ::sendmsg(s.socket, &header, MSG_DONTWAIT | MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != ENOBUFS) {
        ::close(s.socket);
        s.socket = -1;
    }
    return sent == static_cast<ssize_t>(sizeof message);
}

}  // namespace

bool start() {
    State& s = state();
    std::lock_guard<std::mutex> held(s.lock);
    if (s.socket >= 0) return true;
    void* memory = ::mmap(nullptr, sizeof(Slot) * slotCount, PROT_READ | PROT_WRITE,
                          MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) return false;
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0) {
        ::munmap(memory, sizeof(Slot) * slotCount);
        return false;
    }
    Slot* table = new (memory) Slot[slotCount];
    const pid_t child = ::fork();
    if (child == 0) {
        closeAllBut(ends[1]);
        keep(ends[1], table);
    }
    ::close(ends[1]);
    if (child < 0) {
        ::close(ends[0]);
        ::munmap(memory, sizeof(Slot) * slotCount);
        return false;
    }
    s.socket = ends[0];
    s.keeper = child;
    s.table = table;
    return true;
}

int watch(int fd) {
    State& s = state();
    std::lock_guard<std::mutex> held(s.lock);
    if (s.socket < 0) return -1;
    const auto free = std::find(std::begin(s.used), std::end(s.used), false);
    if (free == std::end(s.used)) return -1;
    const auto slot = static_cast<int>(free - std::begin(s.used));
    s.table[slot].wholeEnd.store(leaveAlone);
    if (!send(s, Op::watch, slot, fd)) return -1;
    s.used[slot] = true;
    return slot;
}

void expect(int slot, off_t wholeEnd, off_t writeEnd, bool endsRecord) {
    // Only the owner of the slot writes it: no lock. The table outlives every slot.
    if (slot < 0) return;  // unwatched: a pipe, a terminal, or no keeper
    Slot* table = state().table;
    table[slot].wholeEnd.store(wholeEnd);
    table[slot].writeEnd.store(writeEnd);
    table[slot].endsRecord.store(endsRecord);
}

void release(int slot) {
    State& s = state();
    std::lock_guard<std::mutex> held(s.lock);
    if (slot < 0 || s.table == nullptr) return;
    s.table[slot].wholeEnd.store(leaveAlone);
    // A release that cannot be sent keeps the slot taken: the keeper still holds the file, and
    // leaves it alone.
    if (s.socket >= 0 && send(s, Op::release, slot)) s.used[slot] = false;
}

void finish() {
    State& s = state();
    std::lock_guard<std::mutex> held(s.lock);
    if (s.socket < 0) return;
    send(s, Op::finish, 0);
    ::close(s.socket);
    s.socket = -1;
    // The keeper exits at once; reaped here so that it does not outlast the run. A keeper that
    // does not exit in time (stopped by a signal) is left to exit with the run's socket closed.
    for (int tries = 0; tries < 200 && ::waitpid(s.keeper, nullptr, WNOHANG) == 0; ++tries) {
        const timespec pause{0, 1'000'000};
        ::nanosleep(&pause, nullptr);
    }
}

}  // namespace compact::tail_keeper
