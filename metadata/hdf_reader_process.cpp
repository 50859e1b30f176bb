#include "metadata/hdf_reader_process.h"

#include "fileio/folder.h"
#include "fileio/unique_fd.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

extern char** environ;

namespace aster {

namespace {

// A request is the seconds the helper has for the file, with the file's descriptor; an
// answer is this head, then the reason and the three texts, of the sizes it gives.
struct AnswerHead {
    std::uint32_t hasTexts = 0;
    std::uint32_t leaving = 0; // the helper ends after this answer
    std::uint64_t sizes[4] = {};
};
constexpr std::size_t kMaxReasonBytes = 4096;

// Waits up to `within` for bytes from `socket`, asking `giveUp` every tenth of a second:
// 0 when something came (bytes, or the end of the stream, for the read to tell), EAGAIN
// when nothing did, ECANCELED when it was given up.
int WaitForBytes(int socket, std::chrono::milliseconds within, const GiveUpWaiting& giveUp) {
    using Clock = std::chrono::steady_clock;
    constexpr std::chrono::milliseconds kAskEvery{100};
    const Clock::time_point deadline = Clock::now() + within;
    for (;;) {
        if (giveUp && giveUp())
            return ECANCELED;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            return EAGAIN;
        pollfd bytes{socket, POLLIN, 0};
        const auto slice = giveUp ? std::min(left, kAskEvery) : left;
        const int ready = ::poll(&bytes, 1, static_cast<int>(slice.count()));
        if (ready > 0 || (ready < 0 && errno != EINTR))
            return 0;
    }
}

// Whole `size` bytes from `socket`, each wait for more as WaitForBytes: 0, or an errno
// value (ECONNRESET for the end of the stream, EAGAIN when the helper stayed silent,
// ECANCELED when given up).
int ReceiveAll(int socket, char* buffer, std::size_t size, std::chrono::milliseconds within,
               const GiveUpWaiting& giveUp) {
    std::size_t done = 0;
    while (done < size) {
        if (const int waited = WaitForBytes(socket, within, giveUp); waited != 0)
            return waited;
        const ssize_t got = ::recv(socket, buffer + done, size - done, MSG_DONTWAIT);
        if (got > 0)
            done += static_cast<std::size_t>(got);
        else if (got == 0)
            return ECONNRESET;
        else if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)
            return errno;
    }
    return 0;
}

// Every byte of `parts`, in order, without a SIGPIPE where the other end is gone.
bool SendAll(int socket, std::vector<iovec> parts) {
    std::size_t first = 0;
    while (first < parts.size()) {
        msghdr message{};
        message.msg_iov = parts.data() + first;
        message.msg_iovlen = parts.size() - first;
        ssize_t sent = ::sendmsg(socket, &message, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent <= 0)
            return false;
        for (; first < parts.size() && static_cast<std::size_t>(sent) >= parts[first].iov_len;
             ++first)
            sent -= static_cast<ssize_t>(parts[first].iov_len);
        if (first < parts.size()) {
            parts[first].iov_base = static_cast<char*>(parts[first].iov_base) + sent;
            parts[first].iov_len -= static_cast<std::size_t>(sent);
        }
    }
    return true;
}

// A request as one message: the seconds, with room for one descriptor beside them.
struct RequestMessage {
    explicit RequestMessage(std::uint32_t& seconds) : part{&seconds, sizeof seconds} {
        message.msg_iov = &part;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
    }
    RequestMessage(const RequestMessage&) = delete;
    RequestMessage& operator=(const RequestMessage&) = delete;

    iovec part;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr message{};
};

bool SendFile(int socket, int fd, std::uint32_t seconds) {
    RequestMessage request(seconds);
    cmsghdr* rights = CMSG_FIRSTHDR(&request.message);
    rights->cmsg_level = SOL_SOCKET;
    rights->cmsg_type = SCM_RIGHTS;
    rights->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(rights), &fd, sizeof fd);
    ssize_t sent = 0;
    do
        sent = ::sendmsg(socket, &request.message, MSG_NOSIGNAL);
    while (sent < 0 && errno == EINTR);
    return sent == static_cast<ssize_t>(sizeof seconds);
}

// The next request: 1 with the file and its seconds, 0 at the end of the stream, -1 for a
// broken one.
int ReceiveFile(int socket, UniqueFd& file, std::uint32_t& seconds) {
    RequestMessage request(seconds);
    ssize_t got = 0;
    do
        got = ::recvmsg(socket, &request.message, MSG_CMSG_CLOEXEC | MSG_WAITALL);
    while (got < 0 && errno == EINTR);
    if (got == 0)
        return 0;
    const cmsghdr* rights = CMSG_FIRSTHDR(&request.message);
    if (rights != nullptr && rights->cmsg_level == SOL_SOCKET && rights->cmsg_type == SCM_RIGHTS &&
        rights->cmsg_len == CMSG_LEN(sizeof(int))) {
        int fd = -1;
        std::memcpy(&fd, CMSG_DATA(rights), sizeof fd);
        file.reset(fd);
    }
    return got == static_cast<ssize_t>(sizeof seconds) && file ? 1 : -1;
}

bool SendAnswer(int socket, const HdfTextsOrReason& read, bool leaving) {
    static const HdfTexts kNone;
    const HdfTexts& texts = read.texts ? *read.texts : kNone;
    const std::string_view reason = std::string_view(read.reason).substr(0, kMaxReasonBytes);
    AnswerHead head;
    head.hasTexts = read.texts ? 1 : 0;
    head.leaving = leaving ? 1 : 0;
    const std::string_view bodies[4] = {reason, texts.core, texts.product, texts.archive};
    std::vector<iovec> parts{{&head, sizeof head}};
    for (std::size_t i = 0; i < 4; ++i) {
        head.sizes[i] = bodies[i].size();
        parts.push_back({const_cast<char*>(bodies[i].data()), bodies[i].size()});
    }
    return SendAll(socket, std::move(parts));
}

// What asking a helper gave: its answer, or nothing when it died (or broke its stream),
// stayed silent, or was given up.
struct Asked {
    std::optional<HdfTextsOrReason> read;
    bool leaving = false;
    bool silent = false;
    bool givenUp = false;
};

Asked ReceiveAnswer(int socket, std::chrono::milliseconds within, const GiveUpWaiting& giveUp) {
    AnswerHead head;
    int error = ReceiveAll(socket, reinterpret_cast<char*>(&head), sizeof head, within, giveUp);
    if (error != 0)
        return {std::nullopt, false, error == EAGAIN, error == ECANCELED};
    if (head.hasTexts > 1 || head.sizes[0] > kMaxReasonBytes ||
        std::any_of(head.sizes + 1, head.sizes + 4,
                    [](std::uint64_t size) { return size > kMaxHdfTextBytes; }))
        return {};
    HdfTextsOrReason read;
    HdfTexts texts;
    std::string* const into[4] = {&read.reason, &texts.core, &texts.product, &texts.archive};
    for (std::size_t i = 0; i < 4 && error == 0; ++i) {
        into[i]->resize(head.sizes[i]);
        error = ReceiveAll(socket, into[i]->data(), into[i]->size(), within, giveUp);
    }
    if (error != 0)
        return {std::nullopt, false, error == EAGAIN, error == ECANCELED};
    if (head.hasTexts != 0)
        read.texts = std::move(texts);
    return {std::move(read), head.leaving != 0, false};
}

} // namespace

struct HdfReaderProcess::Helper {
    pid_t pid = -1;
    UniqueFd socket;
    std::size_t served = 0; // files answered

    static std::unique_ptr<Helper> start(const HdfReaderSettings& settings);
    // Whether the helper, whose socket has closed, exited as one that cannot run at all
    // does, not as one a file crashed. Waits for it briefly.
    bool exitedByItself();
    // Stops the helper, if it has not ended, and waits for it.
    ~Helper();
};

namespace {

// The spawn's settings, freed at the end of the scope.
class SpawnSettings {
  public:
    SpawnSettings() {
        ::posix_spawn_file_actions_init(&m_actions);
        ::posix_spawnattr_init(&m_attributes);
    }
    SpawnSettings(const SpawnSettings&) = delete;
    SpawnSettings& operator=(const SpawnSettings&) = delete;
    ~SpawnSettings() {
        ::posix_spawnattr_destroy(&m_attributes);
        ::posix_spawn_file_actions_destroy(&m_actions);
    }
    posix_spawn_file_actions_t* actions() { return &m_actions; }
    posix_spawnattr_t* attributes() { return &m_attributes; }

  private:
    posix_spawn_file_actions_t m_actions;
    posix_spawnattr_t m_attributes;
};

} // namespace

std::unique_ptr<HdfReaderProcess::Helper>
HdfReaderProcess::Helper::start(const HdfReaderSettings& settings) {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
        return nullptr;
    UniqueFd ours(pair[0]);
    // Above the helper's socket number, so that moving it there is a real dup2, which
    // clears its close-on-exec.
    UniqueFd theirs(::fcntl(pair[1], F_DUPFD_CLOEXEC, kHdfReaderSocket + 1));
    ::close(pair[1]);
    if (!theirs)
        return nullptr;
    SpawnSettings spawn;
    posix_spawn_file_actions_t* actions = spawn.actions();
    ::posix_spawn_file_actions_adddup2(actions, theirs.get(), kHdfReaderSocket);
    // Whatever the library might print stays off the run's terminal.
    ::posix_spawn_file_actions_addopen(actions, 0, "/dev/null", O_RDONLY, 0);
    ::posix_spawn_file_actions_addopen(actions, 1, "/dev/null", O_WRONLY, 0);
    ::posix_spawn_file_actions_addopen(actions, 2, "/dev/null", O_WRONLY, 0);
    ::posix_spawn_file_actions_addclosefrom_np(actions, kHdfReaderSocket + 1);
    // A group of its own: the terminal's Ctrl-C is the run's to handle, and a helper
    // killed by it would look like one the library crashed.
    posix_spawnattr_t* attributes = spawn.attributes();
    sigset_t none;
    sigemptyset(&none);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGALRM, SIGPIPE})
        sigaddset(&defaults, signal);
    ::posix_spawnattr_setpgroup(attributes, 0);
    ::posix_spawnattr_setsigmask(attributes, &none);
    ::posix_spawnattr_setsigdefault(attributes, &defaults);
    ::posix_spawnattr_setflags(attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK |
                                               POSIX_SPAWN_SETSIGDEF);
    std::string program = settings.program;
    char* arguments[] = {program.data(), nullptr};
    auto helper = std::make_unique<Helper>(); // before the spawn: no child without an owner
    if (::posix_spawn(&helper->pid, program.c_str(), actions, attributes, arguments, environ) !=
        0) {
        helper->pid = -1; // whatever the failed spawn left there is no child of ours
        return nullptr;
    }
    helper->socket = std::move(ours);
    return helper;
}

bool HdfReaderProcess::Helper::exitedByItself() {
    socket.reset();
    // Its socket closes as it exits; it is waited for a moment more, and one that is
    // still there is the destructor's to stop.
    for (int tries = 0; tries < 1000; ++tries) {
        int status = 0;
        const pid_t ended = ::waitpid(pid, &status, WNOHANG);
        if (ended == pid) {
            pid = -1;
            // 0 or 2: a program that is no helper, or finds no socket; 126 or 127: the
            // system could not run it (a library missing). A crash is a signal, and any
            // other status may be the library's own exit on a file.
            const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            return code == 0 || code == 2 || code == 126 || code == 127;
        }
        if (ended < 0 && errno != EINTR)
            return false;
        ::usleep(1000);
    }
    return false;
}

HdfReaderProcess::Helper::~Helper() {
    if (pid <= 0)
        return;
    socket.reset(); // an idle helper ends at the end of its stream
    ::kill(pid, SIGKILL);
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
}

HdfReaderProcess::HdfReaderProcess(HdfReaderSettings settings)
    : m_settings(std::move(settings)) {}

HdfReaderProcess::~HdfReaderProcess() = default;

void HdfReaderProcess::send(int fd) {
    m_files.push_back(fd);
    // A new helper is started by the answer's wait, which first asks whether to give up.
    if (m_helper != nullptr)
        sendUnsent();
}

// Sends what the helper does not have yet, starting one if there is none. A send that
// fails leaves the rest unsent: the helper has gone, as its answers will show.
void HdfReaderProcess::sendUnsent() {
    if (m_helper == nullptr && m_cannotRun)
        return;
    if (m_helper == nullptr) {
        m_sentToHelper = 0;
        m_helper = Helper::start(m_settings);
        if (m_helper == nullptr)
            return;
    }
    const auto seconds = static_cast<std::uint32_t>(
        std::chrono::ceil<std::chrono::seconds>(m_settings.answerWithin).count() + 1);
    while (m_sentToHelper < m_files.size() &&
           SendFile(m_helper->socket.get(), m_files[m_sentToHelper], seconds))
        ++m_sentToHelper;
}

std::optional<HdfTextsOrReason> HdfReaderProcess::receive(const GiveUpWaiting& giveUp) {
    const auto answerOldest = [this](std::optional<HdfTextsOrReason> answer) {
        m_files.pop_front();
        m_sentToHelper -= std::min<std::size_t>(m_sentToHelper, 1);
        m_oldestRetried = false;
        return answer;
    };
    // The helper goes with what it was sent: its answers could no longer be told apart.
    // The files after the oldest go to a new helper when they are asked for.
    const auto givenUp = [&] {
        m_helper.reset();
        m_sentToHelper = 0;
        return answerOldest(HdfTextsOrReason{std::nullopt, std::string(kHdfReadGivenUp)});
    };
    for (;;) {
        if (giveUp && giveUp())
            return givenUp();
        if (m_helper == nullptr)
            sendUnsent();
        if (m_helper == nullptr)
            return answerOldest(std::nullopt); // no helper to be had
        if (m_sentToHelper == 0) { // it took nothing: gone since its last answer, or broken
            const bool fresh = m_helper->served == 0;
            m_cannotRun = fresh && m_helper->exitedByItself();
            m_helper.reset();
            if (fresh)
                return answerOldest(std::nullopt);
            continue;
        }
        Asked asked = ReceiveAnswer(m_helper->socket.get(), m_settings.answerWithin, giveUp);
        if (asked.givenUp)
            return givenUp();
        if (asked.read) {
            ++m_helper->served;
            if (asked.leaving)
                m_helper.reset(); // the next helper gets what this one had not read
            return answerOldest(std::move(asked.read));
        }
        const bool fresh = m_helper->served == 0;
        // One that exited by itself before any answer cannot run here (a program that is
        // no helper, a library missing): the file is no cause, and is read here.
        m_cannotRun = fresh && !asked.silent && m_helper->exitedByItself();
        m_helper.reset();
        if (m_cannotRun)
            return answerOldest(std::nullopt);
        // A helper that had read other files may have died of what they left in the
        // library: a new one tries the file once more. One that died on its first file,
        // or hung, failed on this one.
        if (fresh || asked.silent || m_oldestRetried)
            return answerOldest(HdfTextsOrReason{std::nullopt, std::string(kUnreadableHdf)});
        m_oldestRetried = true;
    }
}

void HdfReaderProcess::abandon() noexcept {
    m_helper.reset();
    m_files.clear();
    m_sentToHelper = 0;
    m_oldestRetried = false;
}

std::string InstalledHdfReaderProgram() {
    const std::string folder = ProgramFolder();
    if (folder.empty())
        return {};
    for (const std::string& place : {folder, folder + "/" ASTER_PRIVATE_FROM_PROGRAM}) {
        std::string program = place + "/" + kHdfReaderProgram;
        if (::access(program.c_str(), X_OK) == 0)
            return program;
    }
    return {};
}

namespace {

// The helper's own deadline, for when the run that started it is gone while the library
// hangs: a timer ticks every deadline, and a tick that finds the same file still being
// read as at the last tick ends the helper. No system call a file.
volatile std::sig_atomic_t g_filesBegun = 0;
volatile std::sig_atomic_t g_reading = 0;
volatile std::sig_atomic_t g_begunAtLastTick = -1;

void OnTick(int) {
    if (g_reading != 0 && g_filesBegun == g_begunAtLastTick)
        ::_exit(3);
    g_begunAtLastTick = g_filesBegun;
}

void StartDeadline(std::uint32_t seconds) {
    struct sigaction action {};
    action.sa_handler = &OnTick;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGALRM, &action, nullptr);
    const timeval every{static_cast<time_t>(std::max<std::uint32_t>(seconds, 1)), 0};
    const itimerval timer{every, every};
    ::setitimer(ITIMER_REAL, &timer, nullptr);
}

} // namespace

int ServeHdfReads(int socket) {
    struct stat status {};
    if (::fstat(socket, &status) != 0 || !S_ISSOCK(status.st_mode)) {
        std::fputs("aster-hdf-reader: reads HDF files for aster, which starts it\n", stderr);
        return 2;
    }
    for (bool first = true;; first = false) {
        UniqueFd file;
        std::uint32_t seconds = 0;
        const int got = ReceiveFile(socket, file, seconds);
        if (got <= 0)
            return got == 0 ? 0 : 1;
        if (first)
            StartDeadline(seconds);
        g_filesBegun = g_filesBegun + 1;
        g_reading = 1;
        const HdfTextsOrReason read = ReadHdfTextsHere(file.get());
        g_reading = 0;
        const bool leaving = !read.texts && (read.reason == kUnreadableHdf ||
                                             read.reason == kTruncatedHdf);
        if (!SendAnswer(socket, read, leaving))
            return 1;
        if (leaving)
            return 0;
    }
}

} // namespace aster
