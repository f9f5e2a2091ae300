// The names inside a transaction directory T, spelled here and nowhere else. The
// desktop application reads and recovers the same directory, so every name is
// part of the format, letter for letter.
//
//   T\dustbox                    objects thrown away, emptied in the background
//   T\log                        the transaction log, while a write transaction
//                                runs or after one was interrupted
//   T\log\commit                 empty; present: the transaction is committed
//   T\log\clist                  creation list: every object the transaction made
//   T\log\files\H                per-file log; H = FileLogName(target path)
//   T\log\files\H\path           path record of the target
//   T\log\files\H\size           size record
//   T\log\files\H\blocks\N       block N of the target in its new state, one block
//                                size long; N in decimal
//   T\log\dugout\U               one removed object: U a unique name
//   T\log\dugout\U\path          path record: where the object was
//   T\log\dugout\U\hoge          the object itself
//
// The records themselves are described in log_records.h.
#pragma once

#include <string>

namespace velk {
namespace txdir {

constexpr char kDustbox[] = "dustbox";
constexpr char kLog[] = "log";
constexpr char kCommit[] = "commit";
constexpr char kCreationList[] = "clist";
constexpr char kFiles[] = "files";
constexpr char kPath[] = "path";
constexpr char kSize[] = "size";
constexpr char kBlocks[] = "blocks";
constexpr char kDugout[] = "dugout";
constexpr char kDugObject[] = "hoge";

}  // namespace txdir

// The per-file log name H of szPath: the SHA-256 of its bytes exactly as given
// (no case folding, no normalising), as 64 uppercase hexadecimal digits.
std::string FileLogName(const char* szPath);

}  // namespace velk
