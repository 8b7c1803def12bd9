// The fndb layout: the header, the directory records and the names, from an in-memory tree.
#include "fndblayout.h"

#include <algorithm>
#include <cstring>

#include "fndbview.h"
#include "korvid/text.h"

namespace korvid {
namespace {

void PutWord(std::string& bytes, std::uint32_t offset, std::uint32_t value) {
  unsigned char little[4] = {
      static_cast<unsigned char>(value), static_cast<unsigned char>(value >> 8),
      static_cast<unsigned char>(value >> 16), static_cast<unsigned char>(value >> 24)};
  std::memcpy(&bytes[offset], little, 4);
}

struct Directory {
  const FndbTreeDirectory* source;
  std::size_t parent;  // index in the node list; the root is its own parent
  std::vector<const std::string*> files;
  std::vector<std::size_t> subdirectories;  // indices in the node list, in sorted order
  std::vector<std::uint64_t> records;       // offsets of the chain
  std::vector<std::uint64_t> fileNames;     // offsets of the names, in sorted order
  std::vector<std::uint64_t> subdirectoryNames;
};

struct LessByName {
  bool operator()(const std::string* a, const std::string* b) const {
    return CaseInsensitiveLess()(*a, *b);
  }
};

// Depth first, subdirectories in sorted order: the order of the records in the file.
void CollectDirectories(const FndbTreeDirectory& source, std::size_t parent,
                        std::vector<Directory>* nodes) {
  std::size_t index = nodes->size();
  nodes->push_back(Directory{&source, parent, {}, {}, {}, {}, {}});
  std::vector<const std::string*> files;
  for (const std::string& file : source.files) files.push_back(&file);
  std::stable_sort(files.begin(), files.end(), LessByName());
  (*nodes)[index].files = std::move(files);

  std::vector<const FndbTreeDirectory*> children;
  for (const FndbTreeDirectory& child : source.subdirectories) children.push_back(&child);
  std::stable_sort(children.begin(), children.end(),
                   [](const FndbTreeDirectory* a, const FndbTreeDirectory* b) {
                     return CaseInsensitiveLess()(a->name, b->name);
                   });
  for (const FndbTreeDirectory* child : children) {
    (*nodes)[index].subdirectories.push_back(nodes->size());
    CollectDirectories(*child, index, nodes);
  }
}

// How the names of one directory spread over its records: record r holds the names from
// r * perRecord on, files first, then subdirectories.
struct Chunk {
  std::size_t firstName;
  std::size_t names;
};

std::vector<Chunk> Chunks(std::size_t names, std::uint32_t perRecord) {
  std::vector<Chunk> chunks;
  if (perRecord == 0 || names <= perRecord) {
    chunks.push_back(Chunk{0, names});
    return chunks;
  }
  for (std::size_t first = 0; first < names; first += perRecord) {
    chunks.push_back(Chunk{first, std::min<std::size_t>(perRecord, names - first)});
  }
  return chunks;
}

}  // namespace

namespace {

// Places the directories of the tree from the word boundary at or after `start` on: each
// directory's records (the first and its continuations), then the names they list (so that a
// binary search in a directory reads bytes close together), then the next directory, depth first
// in sorted order. The top directory's record gets the given name and parent offsets. Writes
// into bytes, whose first byte stands for offset `base`; returns the end of the last name, or 0
// when it would not fit 32-bit offsets (nothing written then).
std::uint64_t LayOutDirectories(const FndbTreeDirectory& top, std::uint64_t start,
                                std::uint32_t topName, std::uint32_t topParent,
                                std::uint32_t namesPerRecord, std::string* bytes,
                                std::uint64_t base) {
  std::vector<Directory> nodes;
  CollectDirectories(top, 0, &nodes);

  // 1. Offsets.
  std::uint64_t offset = start;
  for (Directory& node : nodes) {
    offset = (offset + 3) & ~std::uint64_t{3};
    std::size_t fileCount = node.files.size();
    for (const Chunk& chunk : Chunks(fileCount + node.subdirectories.size(), namesPerRecord)) {
      std::size_t files =
          std::min(chunk.firstName + chunk.names, fileCount) - std::min(chunk.firstName, fileCount);
      std::size_t subdirectories = chunk.names - files;
      node.records.push_back(offset);
      offset += 4 * (kFndbRecordFixedWords + files + 2 * subdirectories);
    }
    for (const std::string* file : node.files) {
      node.fileNames.push_back(offset);
      offset += file->size() + 1;
    }
    for (std::size_t child : node.subdirectories) {
      node.subdirectoryNames.push_back(offset);
      offset += nodes[child].source->name.size() + 1;
    }
  }
  std::uint64_t end = offset;
  if (end > UINT32_MAX) return 0;

  // 2. The bytes.
  if (bytes->size() < end - base) bytes->resize(static_cast<std::size_t>(end - base), '\0');
  auto putWord = [&](std::uint64_t at, std::uint32_t value) {
    PutWord(*bytes, static_cast<std::uint32_t>(at - base), value);
  };
  auto putText = [&](std::uint64_t at, const std::string& text) {
    std::memcpy(&(*bytes)[static_cast<std::size_t>(at - base)], text.c_str(), text.size() + 1);
  };
  for (std::size_t index = 0; index < nodes.size(); ++index) {
    const Directory& node = nodes[index];
    std::uint32_t nameOffset = topName;
    std::uint32_t parentOffset = topParent;
    if (index != 0) {
      const Directory& parent = nodes[node.parent];
      std::size_t position =
          std::find(parent.subdirectories.begin(), parent.subdirectories.end(), index) -
          parent.subdirectories.begin();
      nameOffset = static_cast<std::uint32_t>(parent.subdirectoryNames[position]);
      parentOffset = static_cast<std::uint32_t>(parent.records[0]);
    }
    std::size_t fileCount = node.files.size();
    std::vector<Chunk> chunks = Chunks(fileCount + node.subdirectories.size(), namesPerRecord);
    for (std::size_t r = 0; r < chunks.size(); ++r) {
      // Names [begin, end) of the directory: files first, then subdirectories.
      std::size_t begin = chunks[r].firstName;
      std::size_t end = chunks[r].firstName + chunks[r].names;
      std::size_t firstFile = std::min(begin, fileCount);
      std::size_t endFile = std::min(end, fileCount);
      std::size_t firstSub = std::max(begin, fileCount) - fileCount;
      std::size_t endSub = std::max(end, fileCount) - fileCount;

      std::uint64_t at = node.records[r];
      putWord(at, nameOffset);
      putWord(at + 4, parentOffset);
      putWord(at + 8, static_cast<std::uint32_t>(endFile - firstFile));
      putWord(at + 12, static_cast<std::uint32_t>(endSub - firstSub));
      putWord(at + 16, r + 1 < chunks.size() ? static_cast<std::uint32_t>(node.records[r + 1]) : 0);
      putWord(at + 20, 0);
      std::uint64_t word = at + 4 * kFndbRecordFixedWords;
      for (std::size_t f = firstFile; f < endFile; ++f, word += 4) {
        putWord(word, static_cast<std::uint32_t>(node.fileNames[f]));
      }
      for (std::size_t d = firstSub; d < endSub; ++d, word += 4) {
        putWord(word, static_cast<std::uint32_t>(node.subdirectoryNames[d]));
      }
      for (std::size_t d = firstSub; d < endSub; ++d, word += 4) {
        putWord(word, static_cast<std::uint32_t>(nodes[node.subdirectories[d]].records[0]));
      }
    }
    for (std::size_t f = 0; f < fileCount; ++f) putText(node.fileNames[f], *node.files[f]);
    for (std::size_t d = 0; d < node.subdirectories.size(); ++d) {
      putText(node.subdirectoryNames[d], nodes[node.subdirectories[d]].source->name);
    }
  }
  return end;
}

}  // namespace

std::string LayOutFndb(const FndbTreeDirectory& root, const FndbLayoutOptions& options) {
  std::string bytes(kFndbHeaderSize, '\0');
  std::uint64_t usedSize =
      LayOutDirectories(root, kFndbHeaderSize, 0, 0, options.namesPerRecord, &bytes, 0);
  if (usedSize == 0 || usedSize + options.reserve > UINT32_MAX) return std::string();
  bytes.resize(static_cast<std::size_t>(usedSize + options.reserve), '\0');
  PutWord(bytes, kFndbSignatureField, kFndbSignature);
  PutWord(bytes, kFndbVersionField, kFndbVersion);
  PutWord(bytes, kFndbFlagsField, options.frozen ? kFndbFrozenFlag : 0);
  PutWord(bytes, kFndbRootDirectoryField, kFndbHeaderSize);  // the root's records come first
  PutWord(bytes, kFndbChangeCountField, options.changeCount);
  PutWord(bytes, kFndbUsedSizeField, static_cast<std::uint32_t>(usedSize));
  return bytes;
}

std::uint32_t LayOutFndbSubtree(const FndbTreeDirectory& top, std::uint32_t start,
                                std::uint32_t nameOffset, std::uint32_t parentOffset,
                                std::uint32_t namesPerRecord, std::string* bytes) {
  std::uint64_t first = (std::uint64_t{start} + 3) & ~std::uint64_t{3};
  bytes->clear();
  std::uint64_t end =
      LayOutDirectories(top, first, nameOffset, parentOffset, namesPerRecord, bytes, start);
  if (end == 0) bytes->clear();
  return static_cast<std::uint32_t>(end == 0 ? 0 : first);
}

FndbTreeStatistics CountTree(const FndbTreeDirectory& root) {
  FndbTreeStatistics statistics;
  statistics.directories = 1;
  statistics.files = static_cast<std::uint32_t>(root.files.size());
  for (const FndbTreeDirectory& child : root.subdirectories) {
    FndbTreeStatistics below = CountTree(child);
    statistics.directories += below.directories;
    statistics.files += below.files;
  }
  return statistics;
}

}  // namespace korvid
