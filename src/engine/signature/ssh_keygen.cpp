// ssh-keygen run as a child process (posix_spawn, pipes, no shell) for signing and checking
// OpenSSH file signatures.
#include "engine/signature/ssh_keygen.h"

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "engine/fs/file_io.h"

extern char** environ;

namespace mavelin::signature {
namespace {

constexpr size_t kOutputCap = size_t{1} << 20;  // more from ssh-keygen is not read

// The ssh-keygen of PATH; empty when there is none.
std::string find_tool() {
    const char* path = std::getenv("PATH");
    std::string_view rest = path && *path ? path : "/usr/bin:/bin";
    while (true) {
        const size_t colon = rest.find(':');
        const std::string_view dir = rest.substr(0, colon);
        std::string candidate = fs::posix_join(dir.empty() ? "." : dir, "ssh-keygen");
        struct stat st;
        if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
            ::access(candidate.c_str(), X_OK) == 0)
            return candidate;
        if (colon == std::string_view::npos) return {};
        rest.remove_prefix(colon + 1);
    }
}

struct Run {
    int status = -1;  // exit status; -1 when it did not run to an end
    std::string out, err;
};

// Owns the file actions of a spawn.
struct FileActions {
    posix_spawn_file_actions_t fa;
    bool ok;
    FileActions() : ok(posix_spawn_file_actions_init(&fa) == 0) {}
    ~FileActions() {
        if (ok) posix_spawn_file_actions_destroy(&fa);
    }
    FileActions(const FileActions&) = delete;
    FileActions& operator=(const FileActions&) = delete;
};

// Runs ssh-keygen with `args`, `input` on its standard input and, when `fd3` is given, a
// memory file holding it at descriptor 3. False (errno set) when it could not be started.
bool run(const std::vector<std::string>& args, std::string_view input, const std::string* fd3,
         Run* r) {
    const std::string tool = find_tool();
    if (tool.empty()) {
        errno = ENOENT;
        return false;
    }
    // Standard input through a socket: a child that stops reading early gives EPIPE, never
    // SIGPIPE (MSG_NOSIGNAL).
    int in_pair[2], out_pipe[2], err_pipe[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, in_pair) != 0) return false;
    fs::UniqueFd in_parent(in_pair[0]), in_child(in_pair[1]);
    if (::pipe2(out_pipe, O_CLOEXEC) != 0) return false;
    fs::UniqueFd out_parent(out_pipe[0]), out_child(out_pipe[1]);
    if (::pipe2(err_pipe, O_CLOEXEC) != 0) return false;
    fs::UniqueFd err_parent(err_pipe[0]), err_child(err_pipe[1]);
    fs::UniqueFd memory;
    if (fd3) {
        memory.reset(::memfd_create("mavelin-signature", MFD_CLOEXEC));
        if (!memory) return false;
        if (const int e = fs::write_all(memory.get(), fd3->data(), fd3->size()); e != 0) {
            errno = e;
            return false;
        }
    }
    FileActions actions;
    if (!actions.ok) return false;
    posix_spawn_file_actions_adddup2(&actions.fa, in_child.get(), 0);
    posix_spawn_file_actions_adddup2(&actions.fa, out_child.get(), 1);
    posix_spawn_file_actions_adddup2(&actions.fa, err_child.get(), 2);
    if (memory) posix_spawn_file_actions_adddup2(&actions.fa, memory.get(), 3);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(tool.c_str()));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    // No graphical passphrase prompt: a key that needs one asks on the terminal, if any.
    std::vector<char*> env;
    for (char** e = environ; e && *e; ++e)
        if (std::strncmp(*e, "SSH_ASKPASS_REQUIRE=", 20) != 0) env.push_back(*e);
    static char never[] = "SSH_ASKPASS_REQUIRE=never";
    env.push_back(never);
    env.push_back(nullptr);
    pid_t pid = -1;
    if (const int e =
            posix_spawn(&pid, tool.c_str(), &actions.fa, nullptr, argv.data(), env.data());
        e != 0) {
        errno = e;
        return false;
    }
    in_child.reset();
    out_child.reset();
    err_child.reset();
    size_t sent = 0;
    if (input.empty()) ::shutdown(in_parent.get(), SHUT_WR);
    char buf[65536];
    while (out_parent || err_parent) {
        pollfd fds[3];
        nfds_t n = 0;
        const bool sending = in_parent && sent < input.size();
        if (sending) fds[n++] = {in_parent.get(), POLLOUT, 0};
        if (out_parent) fds[n++] = {out_parent.get(), POLLIN, 0};
        if (err_parent) fds[n++] = {err_parent.get(), POLLIN, 0};
        if (::poll(fds, n, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (nfds_t i = 0; i < n; ++i) {
            if (!fds[i].revents) continue;
            if (fds[i].fd == in_parent.get()) {
                const ssize_t k = ::send(in_parent.get(), input.data() + sent, input.size() - sent,
                                         MSG_NOSIGNAL | MSG_DONTWAIT);
                if (k > 0) sent += static_cast<size_t>(k);
                if ((k < 0 && errno != EAGAIN && errno != EINTR) || sent == input.size())
                    in_parent.reset();  // done, or the child stopped reading: end of input
                continue;
            }
            fs::UniqueFd& fd = fds[i].fd == out_parent.get() ? out_parent : err_parent;
            std::string& sink = &fd == &out_parent ? r->out : r->err;
            const ssize_t k = ::read(fd.get(), buf, sizeof buf);
            if (k < 0 && errno == EINTR) continue;
            if (k <= 0) {
                fd.reset();
                continue;
            }
            if (sink.size() < kOutputCap) sink.append(buf, static_cast<size_t>(k));
        }
    }
    in_parent.reset();
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    r->status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return true;
}

// The first line of `text` that says something, without its end of line.
std::string reason(const std::string& text) {
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
        if (!line.empty() && line != "Signing data on standard input") return line;
        start = end + 1;
    }
    return {};
}

// The "SHA256:..." word of ssh-keygen's "Good ... signature ... key SHA256:..." line.
std::string fingerprint_of(const std::string& text) {
    const size_t at = text.find("SHA256:");
    if (at == std::string::npos) return {};
    const size_t end = text.find_first_of(" \r\n", at);
    return text.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

Outcome no_tool() {
    Outcome o;
    o.failure = Failure::kNoTool;
    o.message = errno == ENOENT
                    ? "ssh-keygen was not found on PATH"
                    : std::string("ssh-keygen could not be started: ") + std::strerror(errno);
    return o;
}

// What a failed check or verification says, sorted by ssh-keygen's own words.
Outcome refused(const Run& r, Failure otherwise) {
    Outcome o;
    o.message = reason(r.err);
    if (o.message.empty()) o.message = reason(r.out);
    if (r.err.find("namespace does not match") != std::string::npos) {
        o.failure = Failure::kNamespace;
    } else if (r.err.find("key has expired") != std::string::npos ||
               r.err.find("key is not yet valid") != std::string::npos) {
        o.failure = Failure::kExpired;
    } else {
        o.failure = otherwise;
    }
    return o;
}

}  // namespace

Outcome sign(const std::string& key_path, std::string_view data, std::string_view name_space,
             std::string* signature) {
    Run r;
    if (!run({"-q", "-Y", "sign", "-f", key_path, "-n", std::string(name_space)}, data, nullptr,
             &r))
        return no_tool();
    Outcome o;
    if (r.status != 0 || r.out.find("-----BEGIN SSH SIGNATURE-----") != 0) {
        o.failure = Failure::kSigning;
        o.message = reason(r.err);
        if (o.message.empty()) o.message = "ssh-keygen gave no signature";
        return o;
    }
    *signature = std::move(r.out);
    return o;
}

Outcome check(std::string_view signature, std::string_view data, std::string_view name_space) {
    Run r;
    const std::string sig(signature);
    if (!run({"-Y", "check-novalidate", "-n", std::string(name_space), "-s", "/dev/fd/3"}, data,
             &sig, &r))
        return no_tool();
    if (r.status != 0) return refused(r, Failure::kBadSignature);
    Outcome o;
    o.fingerprint = fingerprint_of(r.out);
    if (o.fingerprint.empty()) o.fingerprint = fingerprint_of(r.err);
    return o;
}

Outcome verify(std::string_view signature, std::string_view data, std::string_view name_space,
               const std::string& allowed_signers, const std::string& identity) {
    Outcome checked = check(signature, data, name_space);
    if (checked.failure != Failure::kNone) return checked;
    const std::string sig(signature);
    std::string principal = identity;
    if (principal.empty()) {
        Run r;
        if (!run({"-Y", "find-principals", "-f", allowed_signers, "-n", std::string(name_space),
                  "-s", "/dev/fd/3"},
                 {}, &sig, &r))
            return no_tool();
        const size_t end = r.out.find('\n');
        principal = r.out.substr(0, end);
        if (r.status != 0 || principal.empty()) {
            Outcome o = refused(r, Failure::kNotListed);
            o.fingerprint = checked.fingerprint;
            return o;
        }
    }
    Run r;
    if (!run({"-Y", "verify", "-f", allowed_signers, "-I", principal, "-n", std::string(name_space),
              "-s", "/dev/fd/3"},
             data, &sig, &r))
        return no_tool();
    if (r.status != 0) {
        Outcome o = refused(r, Failure::kNotListed);
        o.fingerprint = checked.fingerprint;
        return o;
    }
    Outcome o;
    o.principal = principal;
    o.fingerprint = fingerprint_of(r.out);
    if (o.fingerprint.empty()) o.fingerprint = checked.fingerprint;
    return o;
}

}  // namespace mavelin::signature
