// What FileManager's scan keeps besides the nodes, built from what the walk found.
#pragma once

#include <string>
#include <vector>

#include "engine/fs/tree_walk.h"
#include "python/capi/handle.h"

namespace mavelin::file_managing {

// What a scan found besides the nodes, as FileManager keeps it: _uncertified_folders, the paths
// below the top of the folders whose own files (other than the certificate's in the top's own
// folder) were left out for the folder's name, in walk order; and _scan_errors, a (folder path
// below the top, OSError) pair for every folder that could not be read, the top shown as ".".
py::Ref uncertified_folders(const std::vector<fs::LeftOutFolder>& left_out);
py::Ref scan_errors(PyObject* initial, const std::vector<fs::WalkError>& errors);
// _uncertified_links: the paths below the top of the symbolic links whose target was missing, in
// walk order; they are no nodes.
py::Ref uncertified_links(const std::vector<std::string>& dangling);

}  // namespace mavelin::file_managing
