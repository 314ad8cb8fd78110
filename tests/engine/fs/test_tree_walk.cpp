// Tests of the directory walk and the node path scan on temporary trees.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "engine/fs/file_io.h"
#include "engine/fs/tree_walk.h"
#include "temp_dir.h"

namespace {

using mavelin::fs::scan_node_paths;
using mavelin::fs::top_folder_name;
using mavelin::fs::TreeWalker;
using mavelin::fs::UniqueFd;
using mavelin::fs::Visit;
using Names = std::vector<std::string>;

using mavelin::testing::TempDir;

void make_dir(const std::string& p) {
    ASSERT_EQ(::mkdir(p.c_str(), 0755), 0) << p;
}
void make_file(const std::string& p, const std::string& data = "x") {
    UniqueFd fd(::open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    ASSERT_TRUE(fd) << p;
    ASSERT_EQ(::write(fd.get(), data.data(), data.size()), static_cast<ssize_t>(data.size()));
}
void make_link(const std::string& target, const std::string& p) {
    ASSERT_EQ(::symlink(target.c_str(), p.c_str()), 0) << p;
}

// "<prefix><n>" (built by appending: g++ 12 warns falsely on literal + std::string temporaries).
std::string numbered(char prefix, int n) {
    std::string s(1, prefix);
    s += std::to_string(n);
    return s;
}

struct Seen {
    std::string rel, name;
    Names dirs, files;
    bool operator==(const Seen&) const = default;
};
std::ostream& operator<<(std::ostream& os, const Seen& s) {
    os << "{rel=" << s.rel << " name=" << s.name << " dirs=";
    for (auto& d : s.dirs) os << d << ",";
    os << " files=";
    for (auto& f : s.files) os << f << ",";
    return os << "}";
}

std::vector<Seen> walk_all(const std::string& top) {
    std::vector<Seen> out;
    TreeWalker w(top);
    while (Visit* v = w.next()) out.push_back({v->rel, v->name, v->dirs, v->files});
    return out;
}

// Reference walk: plain recursion over readdir() with a stat of every entry, entering the folder
// entries that are real directories (not links). Trusted for the test trees only.
void reference_walk(int dirfd, const std::string& rel, const std::string& name,
                    std::vector<Seen>& out) {
    DIR* d = ::fdopendir(dirfd);
    ASSERT_NE(d, nullptr);
    Seen s{rel, name, {}, {}};
    while (struct dirent* e = ::readdir(d)) {
        std::string n = e->d_name;
        if (n == "." || n == "..") continue;
        struct stat st;
        bool dir = ::fstatat(::dirfd(d), n.c_str(), &st, 0) == 0 && S_ISDIR(st.st_mode);
        (dir ? s.dirs : s.files).push_back(n);
    }
    out.push_back(s);
    for (const std::string& n : s.dirs) {
        struct stat st;
        if (::fstatat(::dirfd(d), n.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(st.st_mode))
            continue;
        int sub = ::openat(::dirfd(d), n.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ASSERT_GE(sub, 0);
        reference_walk(sub, rel.empty() ? n : rel + "/" + n, n, out);
    }
    ::closedir(d);
}

std::vector<Seen> reference(const std::string& top) {
    std::vector<Seen> out;
    int fd = ::open(top.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return out;
    reference_walk(fd, "", top_folder_name(top), out);
    return out;
}

// Node paths derived from a reference walk, leaving out the own files of "Certificates" folders.
Names reference_node_paths(const std::vector<Seen>& visits) {
    Names out;
    for (const Seen& s : visits) {
        if (s.name == "Certificates") continue;
        for (const auto& f : s.files) out.push_back(s.rel.empty() ? f : s.rel + "/" + f);
    }
    return out;
}

size_t open_descriptor_count() {
    size_t n = 0;
    DIR* d = ::opendir("/proc/self/fd");
    while (d && ::readdir(d)) ++n;
    if (d) ::closedir(d);
    return n;
}

// Runs `body` with the current directory set to `dir`, restoring it afterwards.
template <class F>
void in_directory(const std::string& dir, F body) {
    UniqueFd saved(::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ASSERT_TRUE(saved);
    ASSERT_EQ(::chdir(dir.c_str()), 0);
    body();
    ASSERT_EQ(::fchdir(saved.get()), 0);
}

TEST(TreeWalk, OrderMatchesListingFilesFirstThenSubfoldersDepthFirst) {
    TempDir t("walk");
    for (const char* f : {"b.txt", "a.txt", "m", "k.bin", ".hidden"}) make_file(t / f);
    for (const char* d : {"x", "x/y", "x/y/w", "z", "Certificates", "Certificates/old", "q", "q/r"})
        make_dir(t / d);
    for (const char* f : {"x/c.txt", "x/y/d.txt", "x/y/w/e", "Certificates/Certificate.korvex",
                          "Certificates/old/e.txt", "q/r/1", "q/r/2", "q/r/3"})
        make_file(t / f);

    std::vector<Seen> got = walk_all(t.path());
    std::vector<Seen> want = reference(t.path());
    ASSERT_EQ(got.size(), 9u);
    EXPECT_EQ(got, want);
    // The top comes first, a folder before its subfolders, each subtree whole before its sibling.
    EXPECT_EQ(got[0].rel, "");
    EXPECT_EQ(got[0].files.size(), 5u);
    for (size_t i = 1; i < got.size(); ++i) {
        const std::string& rel = got[i].rel;
        size_t slash = rel.rfind('/');
        std::string parent = slash == std::string::npos ? "" : rel.substr(0, slash);
        bool parent_seen = false, parent_is_last_prefix = false;
        for (size_t j = 0; j < i; ++j) parent_seen |= got[j].rel == parent;
        // the previous visit is the parent or lies inside the parent's subtree
        const std::string& prev = got[i - 1].rel;
        parent_is_last_prefix =
            parent.empty() || prev == parent || prev.rfind(parent + "/", 0) == 0;
        EXPECT_TRUE(parent_seen && parent_is_last_prefix) << rel;
    }
    EXPECT_EQ(scan_node_paths(t.path()), reference_node_paths(want));
}

TEST(TreeWalk, ListingOrderIsTheDirectoryOrderNotSorted) {
    TempDir t("walk");
    Names created;
    for (int i = 0; i < 200; ++i) created.push_back(numbered('f', i * 7919 % 1000));
    for (auto& n : created) make_file(t / n);
    Names readdir_order;
    DIR* d = ::opendir(t.path().c_str());
    ASSERT_NE(d, nullptr);
    while (struct dirent* e = ::readdir(d))
        if (std::strcmp(e->d_name, ".") && std::strcmp(e->d_name, ".."))
            readdir_order.push_back(e->d_name);
    ::closedir(d);
    std::vector<Seen> got = walk_all(t.path());
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].files, readdir_order);
    EXPECT_EQ(scan_node_paths(t.path()), readdir_order);
}

TEST(TreeWalk, EntryKindsLinksAndSpecialFiles) {
    TempDir t("walk");
    make_dir(t / "real");
    make_file(t / "real/inside");
    make_file(t / "plain");
    make_link("real", t / "link_to_dir");
    make_link("plain", t / "link_to_file");
    make_link("missing", t / "dangling");
    make_link("plain/below", t / "below_file");
    make_link("loop", t / "loop");
    ASSERT_EQ(::mkfifo((t / "fifo").c_str(), 0644), 0);
    int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(s, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::string sock = t / "sock";
    ASSERT_LT(sock.size(), sizeof(addr.sun_path));
    std::memcpy(addr.sun_path, sock.c_str(), sock.size() + 1);
    ASSERT_EQ(::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    ::close(s);

    std::vector<Seen> got = walk_all(t.path());
    ASSERT_EQ(got.size(), 2u);  // the link to "real" is listed as a folder but not entered
    Names dirs = got[0].dirs, files = got[0].files;
    std::sort(dirs.begin(), dirs.end());
    std::sort(files.begin(), files.end());
    EXPECT_EQ(dirs, (Names{"link_to_dir", "real"}));
    EXPECT_EQ(files,
              (Names{"below_file", "dangling", "fifo", "link_to_file", "loop", "plain", "sock"}));
    EXPECT_EQ(got[1].rel, "real");
    EXPECT_EQ(got, reference(t.path()));

    // The links whose target is missing are marked; they are no nodes and are named instead.
    Names marked, dangling;
    TreeWalker walker(t.path());
    const Visit* top = walker.next();
    ASSERT_NE(top, nullptr);
    for (size_t i : top->dangling) marked.push_back(top->files[i]);
    std::sort(marked.begin(), marked.end());
    EXPECT_EQ(marked, (Names{"below_file", "dangling"}));
    Names nodes = scan_node_paths(t.path(), nullptr, nullptr, nullptr, &dangling);
    std::sort(nodes.begin(), nodes.end());
    std::sort(dangling.begin(), dangling.end());
    EXPECT_EQ(dangling, marked);
    EXPECT_EQ(nodes, (Names{"fifo", "link_to_file", "loop", "plain", "real/inside", "sock"}));

    // A symbolic link given as the top is followed.
    std::vector<Seen> via_link = walk_all(t / "link_to_dir");
    ASSERT_EQ(via_link.size(), 1u);
    EXPECT_EQ(via_link[0].files, Names{"inside"});
    EXPECT_EQ(via_link[0].name, "link_to_dir");
}

TEST(TreeWalk, TopThatCannotBeListedGivesNothing) {
    TempDir t("walk");
    make_file(t / "file");
    make_link("nowhere", t / "dangling");
    for (std::string top : {t / "missing", t / "file", t / "dangling", std::string()}) {
        EXPECT_TRUE(walk_all(top).empty()) << top;
        EXPECT_TRUE(scan_node_paths(top).empty()) << top;
    }
}

TEST(TreeWalk, FolderChangedBetweenListingAndEnteringIsSkipped) {
    TempDir t("walk");
    for (const char* d : {"gone", "to_link", "to_file", "keep", "elsewhere"}) make_dir(t / d);
    for (const char* f : {"gone/a", "to_link/b", "to_file/c", "keep/d", "elsewhere/e"})
        make_file(t / f);
    TreeWalker w(t.path());
    Visit* top = w.next();
    ASSERT_NE(top, nullptr);
    ASSERT_EQ(top->dirs.size(), 5u);
    // Change three folders after the top was listed: the walk must not enter any of them.
    ASSERT_EQ(std::system(("rm -rf '" + (t / "gone") + "'").c_str()), 0);
    ASSERT_EQ(::rename((t / "to_link").c_str(), (t / "moved").c_str()), 0);
    make_link("elsewhere", t / "to_link");
    ASSERT_EQ(std::system(("rm -rf '" + (t / "to_file") + "'").c_str()), 0);
    make_file(t / "to_file");
    Names entered;
    while (Visit* v = w.next()) entered.push_back(v->rel);
    std::sort(entered.begin(), entered.end());
    EXPECT_EQ(entered, (Names{"elsewhere", "keep"}));
}

TEST(TreeWalk, UnreadableFolderIsSkippedWithItsSubtree) {
    if (::geteuid() == 0) GTEST_SKIP() << "permission bits do not stop root";
    TempDir t("walk");
    make_dir(t / "locked");
    make_dir(t / "locked/sub");
    make_file(t / "locked/sub/f");
    make_dir(t / "open");
    make_file(t / "open/g");
    ASSERT_EQ(::chmod((t / "locked").c_str(), 0), 0);
    std::vector<Seen> got = walk_all(t.path());
    Names nodes = scan_node_paths(t.path());
    ::chmod((t / "locked").c_str(), 0755);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[1].rel, "open");
    EXPECT_EQ(nodes, Names{"open/g"});
}

TEST(TreeWalk, CallerPrunesSubfolders) {
    TempDir t("walk");
    for (const char* d : {"a", "a/deep", "b", "c"}) make_dir(t / d);
    for (const char* f : {"a/deep/1", "b/2", "c/3"}) make_file(t / f);
    TreeWalker w(t.path());
    Visit* v = w.next();
    ASSERT_NE(v, nullptr);
    std::erase(v->dirs, std::string("b"));
    Names entered;
    while ((v = w.next())) {
        entered.push_back(v->rel);
        if (v->rel == "a") v->dirs.clear();
    }
    std::sort(entered.begin(), entered.end());
    EXPECT_EQ(entered, (Names{"a", "c"}));
}

TEST(TreeWalk, RawByteNamesSurvive) {
    TempDir t("walk");
    const Names odd = {"new\nline", "bad\xff\xfeutf8", "back\\slash", " space ", "tab\there"};
    make_dir(t / "dir\n\x80");
    for (auto& n : odd) make_file(t / n);
    make_file(t / "dir\n\x80/\xc3(");
    std::vector<Seen> got = walk_all(t.path());
    ASSERT_EQ(got.size(), 2u);
    Names files = got[0].files, want = odd;
    std::sort(files.begin(), files.end());
    std::sort(want.begin(), want.end());
    EXPECT_EQ(files, want);
    EXPECT_EQ(got[1].rel, "dir\n\x80");
    Names nodes = scan_node_paths(t.path());
    ASSERT_EQ(nodes.size(), odd.size() + 1);
    EXPECT_EQ(nodes.back(), "dir\n\x80/\xc3(");
}

// Builds a chain of `depth` nested folders named by `name_of(level)` below `top`, with a file
// "f<level>" in every folder and a sibling folder "s<level>" holding one file every 7 levels, so
// the walk has to come back up through closed ancestors and enter them again.
std::string build_chain(const std::string& top, int depth, std::string (*name_of)(int)) {
    UniqueFd fd(::open(top.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    std::string rel;
    for (int level = 0; level < depth && fd; ++level) {
        std::string n = name_of(level);
        if (::mkdirat(fd.get(), n.c_str(), 0755) != 0) return "";
        UniqueFd(
            ::openat(fd.get(), numbered('f', level).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
        std::string side = numbered('s', level);  // names differ, so listings differ in order too
        if (level % 7 == 3 && ::mkdirat(fd.get(), side.c_str(), 0755) == 0)
            UniqueFd(
                ::openat(fd.get(), (side + "/s").c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
        fd.reset(::openat(fd.get(), n.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        rel += (rel.empty() ? "" : "/") + n;
    }
    return fd ? rel : "";
}

TEST(TreeWalk, DeepChainWithBoundedDescriptors) {
    TempDir t("walk");
    const int depth = 1500;
    std::string deepest = build_chain(t.path(), depth, [](int) { return std::string("d"); });
    ASSERT_FALSE(deepest.empty());

    size_t base = open_descriptor_count(), most = 0, visits = 0;
    std::vector<Seen> got;
    TreeWalker w(t.path());
    while (Visit* v = w.next()) {
        most = std::max(most, open_descriptor_count());
        ++visits;
        got.push_back({v->rel, v->name, v->dirs, v->files});
    }
    EXPECT_LE(most, base + 40);
    EXPECT_EQ(visits, size_t(depth) + 1 + (depth + 3) / 7);
    EXPECT_EQ(got, reference(t.path()));
    Names nodes = scan_node_paths(t.path());
    EXPECT_EQ(nodes, reference_node_paths(got));
    EXPECT_NE(
        std::find(nodes.begin(), nodes.end(), deepest.substr(0, deepest.size() - 2) + "/f1499"),
        nodes.end());
}

TEST(TreeWalk, SubtreeMovedAwayDuringDeepWalk) {
    TempDir t("walk");
    std::string chain = build_chain(t.path(), 120, [](int) { return std::string("b"); });
    ASSERT_FALSE(chain.empty());
    const std::string moved_rel = chain.substr(0, 50 * 2 - 1);  // the folder at depth 50
    // The walk comes back to a closed folder only for side folders listed after the chain.
    size_t late_sides = 0;
    for (const Seen& s : reference(t.path()))
        if (!s.dirs.empty() && s.dirs.back()[0] == 's' && s.rel.size() < moved_rel.size())
            ++late_sides;
    if (late_sides == 0) GTEST_SKIP() << "this file system lists every side folder first";
    std::vector<std::string> sides;
    bool moved = false;
    TreeWalker w(t.path());
    while (Visit* v = w.next()) {
        size_t depth = v->rel.empty() ? 0 : std::count(v->rel.begin(), v->rel.end(), '/') + 1;
        if (v->name[0] == 's') sides.push_back(v->rel);
        if (!moved && depth >= 90) {
            // Far below the descriptors that stay open: the way back up must notice the move.
            ASSERT_EQ(::rename((t / moved_rel).c_str(), (t / "moved").c_str()), 0);
            moved = true;
        }
    }
    ASSERT_TRUE(moved);
    // Every side folder above the moved one (levels 3, 10, ..., 45) is visited exactly once.
    std::vector<std::string> shallow;
    for (auto& s : sides)
        if (std::count(s.begin(), s.end(), '/') < 50) shallow.push_back(s);
    std::sort(shallow.begin(), shallow.end());
    EXPECT_EQ(shallow.size(), 7u);
    EXPECT_EQ(std::unique(shallow.begin(), shallow.end()), shallow.end());
}

TEST(TreeWalk, PathsLongerThanPathMax) {
    TempDir t("walk");
    auto long_name = [](int level) { return std::string(200, char('a' + level % 26)); };
    std::string rel = build_chain(t.path(), 40, long_name);
    ASSERT_GT(rel.size(), 8000u);
    std::vector<Seen> got = walk_all(t.path());
    EXPECT_EQ(got, reference(t.path()));
    EXPECT_TRUE(std::any_of(got.begin(), got.end(), [&](const Seen& s) { return s.rel == rel; }));

    // A top that is itself longer than PATH_MAX.
    std::string deep_top = t.path() + "/" + rel.substr(0, 201 * 30 - 1);
    ASSERT_GT(deep_top.size(), 4096u);
    std::vector<Seen> from_deep = walk_all(deep_top);
    ASSERT_EQ(from_deep.size(), 13u);  // 10 chain folders + side folders at levels 31 and 38 + top
    EXPECT_EQ(from_deep[0].name, std::string(200, char('a' + 29 % 26)));
    EXPECT_EQ(from_deep[0].files, Names{"f30"});
}

TEST(TreeWalk, TopFolderNameFollowsPathParts) {
    EXPECT_EQ(top_folder_name("a/b"), "b");
    EXPECT_EQ(top_folder_name("a/b/"), "b");
    EXPECT_EQ(top_folder_name("a/b/./"), "b");
    EXPECT_EQ(top_folder_name("a/./b//"), "b");
    EXPECT_EQ(top_folder_name("/x/Certificates/."), "Certificates");
    EXPECT_EQ(top_folder_name("a/.."), "..");
    EXPECT_EQ(top_folder_name("/"), "/");
    EXPECT_EQ(top_folder_name("///"), "/");
    EXPECT_EQ(top_folder_name("//"), "//");
    EXPECT_EQ(top_folder_name("/./"), "/");
    TempDir t("walk");
    make_dir(t / "here");
    in_directory(t / "here", [] {
        EXPECT_EQ(top_folder_name("."), "here");
        EXPECT_EQ(top_folder_name("./"), "here");
        EXPECT_EQ(top_folder_name("./."), "here");
    });
}

TEST(TreeWalk, CertificatesFoldersKeepOnlyTheirSubfolders) {
    TempDir t("walk");
    make_dir(t / "Certificates");
    for (const char* d :
         {"Certificates/Certificates", "Certificates/Certificates/inner", "Certificates/old", "sub",
          "sub/Certificates", "certificates", "Certificates_old"})
        make_dir(t / (std::string(d)));
    for (const char* f : {"Certificates/top_cert", "Certificates/Certificates/nested_cert",
                          "Certificates/Certificates/inner/kept1", "Certificates/old/kept2",
                          "sub/Certificates/cert3", "sub/Certificates_file", "certificates/kept3",
                          "Certificates_old/kept4", "sub/kept5"})
        make_file(t / f);
    make_file(t / "plain");

    auto sorted = [](Names v) {
        std::sort(v.begin(), v.end());
        return v;
    };
    Names nodes = scan_node_paths(t.path());
    EXPECT_EQ(nodes, reference_node_paths(reference(t.path())));
    EXPECT_EQ(sorted(nodes),
              (Names{"Certificates/Certificates/inner/kept1", "Certificates/old/kept2",
                     "Certificates_old/kept4", "certificates/kept3", "plain",
                     "sub/Certificates_file", "sub/kept5"}));
    // Every folder below the top whose own files were left out is named, with those files; an
    // empty one ("Certificates/Certificates/inner" has no files of its own) is not.
    std::vector<mavelin::fs::LeftOutFolder> left_out;
    EXPECT_EQ(mavelin::fs::scan_node_paths(t.path(), &left_out), nodes);
    std::vector<std::pair<std::string, Names>> named;
    for (auto& f : left_out) named.emplace_back(f.rel, f.files);
    std::sort(named.begin(), named.end());
    EXPECT_EQ(named, (std::vector<std::pair<std::string, Names>>{
                         {"Certificates", {"top_cert"}},
                         {"Certificates/Certificates", {"nested_cert"}},
                         {"sub/Certificates", {"cert3"}}}));

    // The top itself named "Certificates", however the path spells it.
    const Names inside = {"Certificates/inner/kept1", "old/kept2"};
    for (std::string top :
         {t / "Certificates", t / "Certificates/", t / "Certificates/.", t / "Certificates//./"})
        EXPECT_EQ(sorted(scan_node_paths(top)), inside) << top;
    std::vector<mavelin::fs::LeftOutFolder> below_top;
    scan_node_paths(t / "Certificates", &below_top);
    ASSERT_EQ(below_top.size(), 1u);  // the top's own files are left out without a mention
    EXPECT_EQ(below_top[0].rel, "Certificates");
    EXPECT_EQ(below_top[0].files, Names{"nested_cert"});
    in_directory(t / "Certificates", [&] {
        EXPECT_EQ(sorted(scan_node_paths(".")), inside);
        EXPECT_EQ(sorted(scan_node_paths("./")), inside);
    });
    // Reached through "..": the name is "..", not "Certificates".
    EXPECT_EQ(scan_node_paths(t / "Certificates/old/..").size(), 3u);
}

}  // namespace
