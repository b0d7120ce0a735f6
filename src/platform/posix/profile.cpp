// Settings file for Linux: the private-profile format read and written the
// way the Win32 profile functions do for what the library uses.  Reading
// goes through ProfileText, which answers as those functions answer.
#include "platform/platform.h"

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/vfs.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "platform/profile_text.h"

namespace talvo::platform::profile {
namespace {

std::string Trim(const std::string& s) {
    std::size_t b = 0;
    std::size_t e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t' || s[b] == '\r' || s[b] == '\n')) ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r' || s[e - 1] == '\n')) --e;
    return s.substr(b, e - b);
}

bool SameName(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]);
        unsigned char y = static_cast<unsigned char>(b[i]);
        if (x >= 'a' && x <= 'z') x = static_cast<unsigned char>(x - 32);
        if (y >= 'a' && y <= 'z') y = static_cast<unsigned char>(y - 32);
        if (x != y) return false;
    }
    return true;
}

std::vector<std::string> ReadLines(const std::string& path, bool& crlf) {
    std::vector<std::string> lines;
    crlf = false;
    std::ifstream in(path, std::ios::binary);
    if (!in) return lines;
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
            crlf = true;
        }
        lines.push_back(line);
    }
    return lines;
}

// A section header "[name]" gives its trimmed name.
bool SectionName(const std::string& line, std::string& name) {
    std::string t = Trim(line);
    if (t.size() < 2 || t.front() != '[') return false;
    std::size_t close = t.find(']');
    if (close == std::string::npos) return false;
    name = Trim(t.substr(1, close - 1));
    return true;
}

// A key line "key = value" gives its trimmed key and value.
bool KeyValue(const std::string& line, std::string& key, std::string& value) {
    std::string t = Trim(line);
    if (t.empty() || t[0] == ';' || t[0] == '#') return false;
    std::size_t eq = t.find('=');
    if (eq == std::string::npos) return false;
    key = Trim(t.substr(0, eq));
    value = Trim(t.substr(eq + 1));
    return true;
}

void AppendUtf8(std::string& out, std::uint32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// UTF-16 text behind its byte-order mark, as UTF-8; a lone surrogate
// becomes U+FFFD and an odd last byte is dropped.
std::string FromUtf16(const std::string& bytes, bool bigEndian) {
    std::string out;
    out.reserve(bytes.size() / 2);
    auto unit = [&](std::size_t i) {
        const auto a = static_cast<unsigned char>(bytes[i]);
        const auto b = static_cast<unsigned char>(bytes[i + 1]);
        return static_cast<std::uint32_t>(bigEndian ? (a << 8 | b) : (b << 8 | a));
    };
    for (std::size_t i = 2; i + 1 < bytes.size(); i += 2) {
        std::uint32_t c = unit(i);
        if (c >= 0xD800 && c < 0xDC00 && i + 3 < bytes.size()) {
            const std::uint32_t low = unit(i + 2);
            if (low >= 0xDC00 && low < 0xE000) {
                c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                i += 2;
            } else {
                c = 0xFFFD;
            }
        } else if (c >= 0xD800 && c < 0xE000) {
            c = 0xFFFD;
        }
        AppendUtf8(out, c);
    }
    return out;
}

ProfileText Parsed(const std::string& path) {
    std::string text;
    ReadWhole(path, text);
    return ProfileText(std::move(text));
}

// File systems whose clients may cache a file's attributes while the file
// changes on the server: NFS, SMB/CIFS, FUSE, Ceph, AFS, Coda, 9P, NCP.
bool NetworkFileSystem(long type) {
    switch (static_cast<unsigned long>(type) & 0xFFFFFFFFul) {
        case 0x6969ul:
        case 0x517Bul:
        case 0xFF534D42ul:
        case 0xFE534D42ul:
        case 0x65735546ul:
        case 0x00C36400ul:
        case 0x5346414Ful:
        case 0x73757245ul:
        case 0x01021997ul:
        case 0x564Cul:
            return true;
        default:
            return false;
    }
}

// Whether the file system that holds `path` is local; asked once per path.
bool OnLocalFileSystem(const std::string& path) {
    static std::mutex lock;
    static std::string askedFor;
    static bool local = false;
    std::lock_guard<std::mutex> hold(lock);
    if (path != askedFor) {
        struct statfs fs {};
        if (::statfs(path.c_str(), &fs) != 0) return false;
        askedFor = path;
        local = !NetworkFileSystem(static_cast<long>(fs.f_type));
    }
    return local;
}

std::int64_t Nanoseconds(const struct timespec& t) {
    return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

void MakeDirectories(const std::string& dir) {
    // Each prefix that ends before a '/' and the whole path, in order.
    for (std::size_t at = 1; at <= dir.size(); ++at) {
        if (at == dir.size() || dir[at] == '/') ::mkdir(dir.substr(0, at).c_str(), 0755);
    }
}

}  // namespace

std::string WindowsDirectory() {
    const char* own = std::getenv("TALVO_WINDIR");
    if (own != nullptr && *own != '\0') return own;
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg != nullptr && *xdg != '\0') return std::string(xdg) + "/talvo";
    const char* home = std::getenv("HOME");
    return std::string(home != nullptr ? home : ".") + "/.config/talvo";
}

char PathSeparator() { return '/'; }

bool FileExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

std::string ReadString(const std::string& section, const std::string& key, const std::string& def,
                       const std::string& path, std::size_t capacity) {
    return Parsed(path).String(section, key, def, capacity);
}

std::uint32_t ReadInt(const std::string& section, const std::string& key, std::uint32_t def,
                      const std::string& path) {
    return Parsed(path).Int(section, key, def);
}

bool ReadWhole(const std::string& path, std::string& text) {
    text.clear();
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        // A file that is there but cannot be opened reads as empty.
        return FileExists(path);
    }
    char chunk[16384];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n < 0) text.clear();
            break;
        }
        text.append(chunk, static_cast<std::size_t>(n));
        // A short read of a regular file is its end.
        if (static_cast<std::size_t>(n) < sizeof chunk) break;
    }
    ::close(fd);
    if (text.size() >= 3 && text.compare(0, 3, "\xEF\xBB\xBF") == 0) {
        text.erase(0, 3);
    } else if (text.size() >= 2 && (text.compare(0, 2, "\xFF\xFE") == 0 || text.compare(0, 2, "\xFE\xFF") == 0)) {
        text = FromUtf16(text, text[0] == '\xFE');
    }
    return true;
}

namespace {
// The settings file as last stamped, with a descriptor held on it.  While
// the path names that file, the status of the descriptor (no walk of the
// path, the dearest part of a status) shows every change of it: writing,
// truncating, a rename onto it or away from it and a removal all change its
// change time or its link count, so a status equal to the last one is the
// same file unchanged.  A folder on the path that is renamed or relinked
// leaves the file as it was: the path itself is looked at again when its
// last look is a second old.
//
// Cheaper still, an inotify watch on the file and on its folder hears of
// every such change: the system queues the event within the call that made
// the change, so a command that finds the queue empty (one ioctl, about
// half the price of a status) knows the file as it was, and a change still
// counts from the next command.  Any event sends the command the long way
// (the path looked at again).  Without a watch (none to be had) every
// command asks the descriptor for its status, as before.
//
// Plain data, constant-initialized: the library's unload step lets go of it
// whether or not the other static objects still live.
struct HeldFile {
    std::mutex lock;
    char path[512] = {};
    int fd = -1;
    int watch = -1;  // inotify: the file and its folder
    struct stat seen {};
    std::int64_t pathLookedAt = 0;  // the system's time, ns (a step back looks again)
};
constinit HeldFile held;
constexpr std::int64_t kPathLookNs = 1000000000;

bool SameStatus(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_nlink == b.st_nlink && a.st_size == b.st_size &&
           Nanoseconds(a.st_mtim) == Nanoseconds(b.st_mtim) && Nanoseconds(a.st_ctim) == Nanoseconds(b.st_ctim);
}

void LetGo(HeldFile& h) {
    if (h.fd >= 0) ::close(h.fd);
    if (h.watch >= 0) ::close(h.watch);
    h.fd = -1;
    h.watch = -1;
    h.path[0] = '\0';
}

constexpr std::uint32_t kFileEvents = IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_MOVE_SELF | IN_DELETE_SELF;

// A watch on `path` and on its folder, made before the file is looked at
// so that no change after the look goes unheard; -1 when none can be had
// (the system's limit of watches, a file that cannot be read).
int Watch(const std::string& path) {
    const int w = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (w < 0) return -1;
    const std::size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    const std::uint32_t names = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_MOVE_SELF | IN_DELETE_SELF |
                                IN_ONLYDIR;
    if (::inotify_add_watch(w, path.c_str(), kFileEvents) < 0 || ::inotify_add_watch(w, folder.c_str(), names) < 0) {
        ::close(w);
        return -1;
    }
    return w;
}

// True when the watch has heard nothing since it was last emptied;
// empties it otherwise.
bool Unchanged(int watch) {
    int pending = 0;
    if (::ioctl(watch, FIONREAD, &pending) == 0 && pending == 0) return true;
    alignas(struct inotify_event) char events[4096];
    while (::read(watch, events, sizeof events) > 0) {
    }
    return false;
}

// The status of the file `path` names, through the held descriptor when
// that vouches for it; false when the file is missing or not local.
bool CurrentStatus(const std::string& path, struct stat& st, std::int64_t at) {
    std::lock_guard<std::mutex> hold(held.lock);
    const bool recent = held.fd >= 0 && path == held.path && at - held.pathLookedAt < kPathLookNs &&
                        at >= held.pathLookedAt;
    if (recent && held.watch >= 0) {
        if (Unchanged(held.watch)) {
            st = held.seen;
            return true;
        }
    } else if (recent && ::fstat(held.fd, &st) == 0 && st.st_nlink > 0 && SameStatus(st, held.seen)) {
        return true;
    }
    // The long way.  The watch is emptied (or made) before the path is
    // looked at: whatever changes after the look is heard.
    int watch = -1;
    if (held.watch >= 0 && path == held.path) {
        watch = held.watch;
        held.watch = -1;
        Unchanged(watch);
    } else {
        watch = Watch(path);
    }
    auto drop = [&watch] {
        if (watch >= 0) ::close(watch);
        watch = -1;
    };
    if (::stat(path.c_str(), &st) != 0 || !OnLocalFileSystem(path)) {
        LetGo(held);
        drop();
        return false;
    }
    if (held.fd < 0 || path != held.path || st.st_dev != held.seen.st_dev || st.st_ino != held.seen.st_ino) {
        LetGo(held);
        // Another file under the path: its own changes are heard from now
        // on, and it is looked at once more after that.
        if (watch >= 0 && ::inotify_add_watch(watch, path.c_str(), kFileEvents) < 0) drop();
        if (::stat(path.c_str(), &st) != 0) {
            drop();
            return false;
        }
#ifdef O_PATH
        const int flags = O_PATH | O_CLOEXEC;
#else
        const int flags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
#endif
        const int fd = ::open(path.c_str(), flags);
        struct stat opened {};
        // Held only when it is the file just looked at (not one put there since).
        if (path.size() < sizeof held.path && fd >= 0 && ::fstat(fd, &opened) == 0 && opened.st_dev == st.st_dev &&
            opened.st_ino == st.st_ino) {
            held.fd = fd;
            path.copy(held.path, path.size());
            held.path[path.size()] = '\0';
        } else if (fd >= 0) {
            ::close(fd);
        }
    }
    if (held.fd >= 0) {
        held.watch = watch;
    } else {
        drop();
    }
    held.seen = st;
    held.pathLookedAt = at;
    return true;
}
}  // namespace

bool Stamp(const std::string& path, FileStamp& stamp) {
    struct timespec now {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    struct stat st {};
    if (!CurrentStatus(path, st, Nanoseconds(now))) return false;
    // Every change of the file sets its change time to the present, so a
    // file last changed more than two seconds ago keeps its stamp exactly
    // until it changes again.
    const std::int64_t modified = Nanoseconds(st.st_mtim);
    const std::int64_t changed = Nanoseconds(st.st_ctim);
    if (Nanoseconds(now) - (modified > changed ? modified : changed) < 2100000000) return false;
    stamp.identity[0] = static_cast<std::uint64_t>(st.st_dev);
    stamp.identity[1] = static_cast<std::uint64_t>(st.st_ino);
    stamp.size = static_cast<std::uint64_t>(st.st_size);
    stamp.times[0] = static_cast<std::uint64_t>(modified);
    stamp.times[1] = static_cast<std::uint64_t>(changed);
    return true;
}

void ReleaseStamps() {
    std::lock_guard<std::mutex> hold(held.lock);
    LetGo(held);
}

bool WriteString(const std::string& section, const std::string& key, const std::string& value,
                 const std::string& path) {
    bool crlf = false;
    std::vector<std::string> lines = ReadLines(path, crlf);
    const char* eol = crlf ? "\r\n" : "\n";

    int sectionLine = -1;
    int insertAt = -1;  // one past the last non-blank line of the section
    bool inSection = false;
    for (int i = 0; i < static_cast<int>(lines.size()); ++i) {
        std::string name;
        if (SectionName(lines[i], name)) {
            if (inSection) break;
            if (sectionLine < 0 && SameName(name, section)) {
                inSection = true;
                sectionLine = i;
                insertAt = i + 1;
            }
            continue;
        }
        if (!inSection) continue;
        std::string k;
        std::string v;
        if (KeyValue(lines[i], k, v) && SameName(k, key)) {
            lines[i] = key + "=" + value;
            insertAt = -2;
            break;
        }
        if (!Trim(lines[i]).empty()) insertAt = i + 1;
    }
    if (sectionLine < 0) {
        if (!lines.empty() && !Trim(lines.back()).empty()) lines.emplace_back();
        lines.push_back("[" + section + "]");
        lines.push_back(key + "=" + value);
    } else if (insertAt >= 0) {
        lines.insert(lines.begin() + insertAt, key + "=" + value);
    }

    std::size_t slash = path.rfind('/');
    if (slash != std::string::npos) MakeDirectories(path.substr(0, slash));
    std::string tmp = path + ".tmp";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        if (!out) return false;
        for (const std::string& line : lines) out << line << eol;
        if (!out.flush()) return false;
    }
    return std::rename(tmp.c_str(), path.c_str()) == 0;
}

}  // namespace talvo::platform::profile
