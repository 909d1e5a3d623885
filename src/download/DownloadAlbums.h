#pragma once
// The download command: every ticked album of the current list into its
// folder under the host's picture folder, each picture shown as it is saved.

#include <cstddef>
#include <cstdint>
#include <vector>

class TCommandHost;
struct TTileChoice;

void DownloadAlbums(TCommandHost& host);

// The album indexes of the ticked tiles that show an album of the current
// AlbumList, in tile order, with the number of pictures they hold. A tile of
// an older list is left out: its index may name another album now.
std::vector<size_t> TakeSelection(const std::vector<TTileChoice>& tiles, int64_t& pictures);
