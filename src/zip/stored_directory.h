#pragma once
// How a file's path becomes the folder part of its archive entry, and the
// path-splitting helpers the engine uses for entry names.
#include <string>
#include <string_view>

namespace tessel {

// Everything up to and including the last "/" ("" when there is none):
// "/data/sub/a.txt" -> "/data/sub/", "/a.txt" -> "/", "a.txt" -> "".
std::string_view FolderPart(std::string_view path);
// Everything after the last "/": "/data/a.txt" -> "a.txt", "/data/" -> "".
std::string_view LastComponent(std::string_view path);

// The folder part stored in the entry of the file at path: empty or ending
// in "/", never absolute.
// - The folder part of the path is taken, empty components ("//") and "."
//   components are dropped, and so are ".." components, so that a stored
//   name never climbs out of the folder it is extracted into.
// - With relative_paths and a non-empty root_dir (a folder, with or without
//   its trailing "/"): a folder inside root_dir loses the root_dir part (it
//   becomes empty when it is root_dir itself); a folder outside it stays
//   whole. The comparison is exact (names differing in case are different
//   folders on this host) and made on the cleaned forms of both.
// - Leading "/" are dropped. store_volumes changes nothing: there are no
//   drives or shares to keep.
// "/data/sub/a.txt" gives "data/sub/" with an empty root_dir and "sub/" with
// root_dir "/data/"; "/a.txt" gives "".
std::string StoredDirectory(std::string_view path, std::string_view root_dir, bool relative_paths,
                            bool store_volumes);

}  // namespace tessel
