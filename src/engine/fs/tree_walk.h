// Iterative, descriptor-relative directory walk with the visiting order and rules of a default
// top-down os.walk.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <string>
#include <vector>

#include "engine/cancellation.h"
#include "engine/certificate_format.h"
#include "engine/fs/file_io.h"

namespace mavelin::fs {

// One visited folder. Names are raw bytes, in the order the directory listing returned them.
struct Visit {
    std::string rel;   // path below the top: folder names joined with '/', "" for the top
    std::string name;  // the folder's own last path component (see top_folder_name)
    std::vector<std::string> dirs;  // entries that are directories or symbolic links to directories
    std::vector<std::string> files;  // every other entry, including entries whose type is unknown
    // Indices into `files`, ascending, of the symbolic links that are no nodes: their target was
    // missing when the folder was listed, or it lies outside the tree (fs::leads_outside).
    std::vector<size_t> dangling;
};

// A folder the walk could not open or list: its path below the top ("" for the top itself) and
// the errno.
struct WalkError {
    std::string rel;
    int code = 0;
};

// Walks the tree below `top` top-down, depth first and pre-order:
//  - a folder is listed completely before it is reported, and skipped together with its subtree
//    when it cannot be opened or its listing fails; that failure is recorded in errors(), except
//    for a folder that no longer exists (or is no folder any more) when its turn comes;
//  - an entry counts as a folder when it is a directory or a symbolic link to one (a failing stat
//    counts as "not a folder"); subfolders are entered in listing order, except those that are
//    symbolic links (or no longer directories) when their turn comes;
//  - `top` itself is opened following symbolic links;
//  - a symbolic link to no folder whose target is missing, or lies outside the tree (the link
//    chain resolved against the top's real path), is listed among the files and marked dangling.
// Works for any depth and any path length: no recursion, every folder is opened relative to its
// parent's descriptor, and only a bounded number of descriptors stay open.
class TreeWalker {
  public:
    // When `cancel` turns true the walk ends at the next folder or listing batch (next() then
    // returns nullptr and cancelled() is true).
    explicit TreeWalker(std::string top, const std::atomic<bool>* cancel = nullptr);
    // Walks only the subtree of the folder `below` (its path below `top`, folder names joined
    // with '/'; "" for the whole tree) exactly as the walk of the whole tree walks it: the visits'
    // `rel` and the errors are paths below `top`, every component of `below` is entered without
    // following links, and the subtree's own folder is skipped or recorded as a subfolder is when
    // it cannot be entered. When `top` itself cannot be opened, or a component above the
    // subtree's folder cannot be entered, nothing is visited and nothing recorded: top_error()
    // and above_error() give the errno.
    TreeWalker(std::string top, std::string below, const std::atomic<bool>* cancel = nullptr);
    TreeWalker(const TreeWalker&) = delete;
    TreeWalker& operator=(const TreeWalker&) = delete;

    // The next folder in walk order, or nullptr once the walk is over. The visit stays valid until
    // the next call. Before that call the caller may edit `dirs` (remove or reorder names) to
    // choose which subfolders are entered, as assigning to the folder list of os.walk does; a
    // caller that wants to stop early simply stops calling.
    Visit* next();

    const std::string& top() const { return top_; }
    // The descriptor of the folder next() returned last, open until the following call.
    int current_fd() const { return frames_.empty() ? -1 : frames_.back().fd.get(); }
    // How many folders next() has returned so far: identifies the current one.
    size_t visits() const { return visits_; }
    const std::vector<WalkError>& errors() const { return errors_; }
    bool cancelled() const { return cancellation::requested(cancel_); }
    int top_error() const { return top_error_; }
    int above_error() const { return above_error_; }

    // A folder not entered yet: its path below the top and its inode as a stat without following
    // links gives it now (0 when that fails or it is no directory).
    struct Remaining {
        std::string rel;
        ino_t ino = 0;
    };
    // Ends the walk early: appends to `out`, in walk order, every folder it would still enter
    // (the subfolders of the visit next() returned last, then those left in each folder above),
    // so that walking each of them in turn continues this walk exactly. next() then returns
    // nullptr.
    void take_remaining(std::vector<Remaining>& out);

  private:
    struct Frame {
        fs::UniqueFd fd;  // closed for shallow frames of deep walks; reopened on the way back
        dev_t dev = 0;
        ino_t ino = 0;
        size_t rel_len = 0;             // length of rel_ while this frame is the current folder
        std::vector<std::string> dirs;  // subfolders still to enter, from dirs[next] on
        size_t next = 0;
    };

    // Lists the folder open on `fd`; 0, or the errno of a failed listing.
    int list(int fd, const std::string& rel, std::vector<std::string>& dirs,
             std::vector<std::string>& files, std::vector<size_t>& dangling);
    // The real path of the folder `rel` below the top.
    std::string joined_real(const std::string& rel) const;
    void record(const std::string& name, int code);
    bool push(fs::UniqueFd fd, const std::string& name);
    void pop();
    bool reopen_from_child(size_t index, int child_fd);
    bool reopen_from_ancestor(size_t index);

    std::string top_;
    std::string root_real_;  // the top's real path ("" when it cannot be had)
    std::vector<Frame> frames_;
    std::vector<std::string>
        names_;  // names_[i] = name of frames_[i] below its parent (unused for 0)
    std::string rel_;
    Visit current_;
    bool started_ = false;
    size_t visits_ = 0;
    bool pending_ = false;      // current_ was handed out and its dirs are not taken back yet
    size_t lowest_open_ = 1;    // frames in [1, lowest_open_) have their descriptor closed
    std::vector<char> buffer_;  // directory listing buffer
    std::vector<WalkError> errors_;
    const std::atomic<bool>* cancel_ = nullptr;
    std::string below_;  // a subtree walk: its folder below top_
    bool subtree_ = false;
    int top_error_ = 0;
    int above_error_ = 0;

    Visit* start_subtree();
};

// The last component of `top` as pathlib's Path(top).parts[-1] gives it: '/'-separated, with empty
// and "." components ignored. A path without such a component is taken relative to the current
// directory ("." names the current directory's own folder), "/" for the root, "//" for a path
// starting with exactly two slashes; "" if the current directory cannot be determined.
std::string top_folder_name(const std::string& top);

// Files a scan leaves out wherever they are: the files the run itself reads or writes (the
// certificate in use, the run's report), each as its folder's path below the top (as in Visit)
// and its name. A handful at most.
struct SkippedFile {
    std::string rel;
    std::string name;
};
using SkippedFiles = std::vector<SkippedFile>;

// The files of a tree that become nodes, in walk order: visit(rel, file) for each non-folder
// entry of every folder `walker` visits (rel as in Visit), except that a folder whose own name is
// exactly "Certificates" contributes none of its own entries (its subfolders are still walked);
// such a folder with files goes to left_out(visit) instead. A symbolic link whose target is
// missing has no contents to certify: it goes to dangling(rel, file) instead of visit. The files of
// `skipped` (when given) are no nodes at all.
// `on_folder(visit)`, when given, sees every visited folder first (and may edit its `dirs`, or
// end the walk with take_remaining()).
template <class Visitor, class LeftOut, class Dangling, class OnFolder = void (*)(Visit&)>
void for_each_node_file(
    TreeWalker& walker, Visitor&& visit, LeftOut&& left_out, Dangling&& dangling,
    const SkippedFiles* skipped = nullptr, OnFolder&& on_folder = [](Visit&) {}) {
    while (Visit* v = walker.next()) {
        on_folder(*v);
        if (v->files.empty()) continue;
        if (v->name == certificate_format::kFolderName) {
            left_out(*v);
            continue;
        }
        const std::string& rel = v->rel;
        auto is_skipped = [&](const std::string& file) {
            if (!skipped) return false;
            for (const SkippedFile& s : *skipped)
                if (s.name == file && s.rel == rel) return true;
            return false;
        };
        size_t next_dangling = 0;
        for (size_t i = 0; i < v->files.size(); ++i) {
            std::string& file = v->files[i];  // the callbacks may take `file`
            if (next_dangling < v->dangling.size() && v->dangling[next_dangling] == i) {
                ++next_dangling;
                if (!is_skipped(file)) dangling(rel, file);
            } else if (!is_skipped(file)) {
                visit(rel, file);
            }
        }
    }
}

// A folder whose own files the scan left out for its name.
struct LeftOutFolder {
    std::string rel;                 // its path below the top, folder names joined with '/'
    std::vector<std::string> files;  // the names of its own non-folder entries, in listing order
};

// The node path of `file` in the folder `rel` ("rel/file", or `file` for the top); `file` may be
// taken.
std::string node_path(const std::string& rel, std::string& file);

// Adds the folder of `v`, which the scan left out, to `left_out` (when given) unless it is the
// top; its file names are moved there.
void record_left_out(Visit& v, std::vector<LeftOutFolder>* left_out);

// Node paths of a tree in walk order: for every visited folder, "rel/file" (or the bare file name
// for the top) for each non-folder entry, except that a folder whose own name is exactly
// "Certificates" contributes none of its own entries (its subfolders are still walked).
// When given, `left_out` names every folder below the top (not the top itself) whose own files
// were left out for its name, and `errors` the folders that could not be read; `cancel` as for
// TreeWalker (the paths are then incomplete). Symbolic links whose target is missing or outside are
// no nodes: `dangling`, when given, receives their paths in walk order. The files of `skipped` are
// left out.
std::vector<std::string> scan_node_paths(const std::string& top,
                                         std::vector<LeftOutFolder>* left_out = nullptr,
                                         std::vector<WalkError>* errors = nullptr,
                                         const std::atomic<bool>* cancel = nullptr,
                                         std::vector<std::string>* dangling = nullptr,
                                         const SkippedFiles* skipped = nullptr);

}  // namespace mavelin::fs
