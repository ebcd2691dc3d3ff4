// SPDX-License-Identifier: Apache-2.0
// Command line: the option table and the command table, the argument scan
// into the settings, the usage text and the dispatch to one command.
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <initializer_list>
#include <iterator>
#include <string>
#include <vector>

#include "check.h"
#include "fatal.h"
#include "image.h"
#include "jsondoc.h"
#include "undo.h"
#include "xtl.h"

namespace {

// How an option's word is read. kWord is a flag matched as the whole word only
// ("--forcex" matches no row); kDir is a text of at most kTmpDirMax
// characters, kFile a text that may not be empty.
enum ParmTp { kFlag = 1, kNum32 = 2, kNum64 = 3, kText = 4, kWord = 5, kDir = 6, kFile = 7 };
const char *const kTpNames[] = {"", "flag", "num32", "num64", "text", "word", "dir", "file"};

// One option. Its setting is a uint32_t (kFlag, kWord, kNum32), a uint64_t
// (kNum64) or a std::string (the texts, which start empty).
struct OptionRow {
  const char *name;  // long form after "--"; value options end in '='
  char letter;       // one-letter form "-x", 0 for none
  int tp;            // ParmTp
  void *addr;        // the setting it fills
  const char *unit;  // of the value, "" for none
  uint64_t def;      // default of a flag or number
  const char *help;  // one line, for --list-options
};

// Rows are tried in this order, and no long name is a prefix of a later one
// ("ecc" after "eccstripe=" and "eccwidths=", "hash" after "hashtp=").
const OptionRow kOptions[] = {
    {"quick", 'q', kFlag, &v_QuickFlg, "", 0, "format: quick format, the QUICK_FMT feature bit"},
    {"offset0=", 0, kNum64, &v_Offset0, "bytes", 0, "format: data offset (0: one stripe set)"},
    {"wtblksz=", 0, kNum32, &v_WtBlkSz, "KiB", 0, "format: write-block size (0: 1024, 2048 with --autovm)"},
    {"wtblkstripe=", 0, kNum32, &v_WtBlkStripeCnt, "write blocks", 1, "format: write blocks per stripe set"},
    {"wtsegsz=", 0, kNum32, &v_WtSegSz, "KiB", 0, "format: write-segment size (0: none)"},
    {"devsz=", 0, kNum64, &v_DevSz, "MiB", 0, "format: upper bound on the device size (0: all of it)"},
    {"free=", 0, kNum32, &v_Free, "percent", 0, "format: physical blocks offered as logical (0: 90)"},
    {"ver=", 0, kNum32, &v_Ver, "", 513, "format: header version (11: the 1.1 mapping)"},
    {"big=", 0, kNum32, &v_BigFlg, "", 0, "stored, read by no command"},
    {"vm=", 0, kNum32, &v_VmFlg, "", 0, "format: non-zero sets the VM feature"},
    {"vm2comp", 0, kFlag, &v_Vm2CompFlg, "", 0, "format: with --vm2, the second volume compressed"},
    {"vm2", 0, kFlag, &v_Vm2Flg, "", 0, "format: write blocks set aside for a second volume"},
    {"dedupe=", 0, kNum32, &v_DeDupe, "percent", 0, "format: non-zero turns de-duplication on"},
    {"comp=", 0, kNum32, &v_Comp, "percent", 0, "format: compression, scaling the logical space"},
    {"compbytes=", 0, kNum32, &v_CompBytes, "bytes", 0, "format --autovm: compression unit"},
    {"compmax=", 0, kNum32, &v_CompMax, "", 0, "format --autovm: compression maximum"},
    {"bits=", 0, kNum32, &v_Bits, "", 0, "stored, read by no command"},
    {"metadupecnt=", 0, kNum32, &v_MetaDupeCnt, "copies", 2, "format: copies of each metadata block"},
    {"ecc5", 0, kFlag, &v_EccRaid5, "", 0, "format: single-parity error correction (sets --hash)"},
    {"ecc6", 0, kFlag, &v_EccRaid6, "", 0, "format: double-parity error correction (sets --hash)"},
    {"eccstripe=", 0, kNum32, &v_EccWidth, "", 4, "format: error-correction width"},
    {"eccwidths=", 0, kNum32, &v_EccDepth, "", 128, "format: error-correction depth"},
    {"ecc", 0, kFlag, &v_EccRaid5, "", 0, "format: as --ecc5"},
    {"tmpdir=", 0, kDir, &v_TmpDir, "", 0, "log: folder of the temp file xtl.log (empty: /dev/shm)"},
    {"svwbcnt=", 0, kNum32, &v_SvWbCnt, "write blocks", 0, "format --autovm: the placement shift"},
    {"svwccnt=", 0, kNum32, &v_SvScCnt, "sectors", 0, "format --autovm: sectors skipped with the shift"},
    {"hashtp=", 0, kNum32, &v_HashTp, "", 0, "format: hash type byte of metadata and data"},
    {"hash", 0, kFlag, &v_HashFlg, "", 0, "format: hashed metadata"},
    {"summarymeta", 0, kFlag, &v_SummaryMeta, "", 0, "format: summary metadata, feature bit 0x0100"},
    {"migrate", 0, kFlag, &v_Migrate_Flg, "", 0, "format --autovm: records the migration range"},
    {"m_linoff0=", 0, kNum64, &v_Migrate_LinOff0, "4 KiB blocks", 0, "format: first migration offset"},
    {"m_linoff1=", 0, kNum64, &v_Migrate_LinOff1, "4 KiB blocks", 0, "format: second migration offset"},
    {"m_linblks=", 0, kNum64, &v_Migrate_LinBlks, "4 KiB blocks", 0, "format: migration range length"},
    {"hdroff=", 0, kNum64, &v_HdrOff, "sectors", 0, "where the header block is on the device"},
    {"autovm", 0, kFlag, &v_AutoVm, "", 0, "format: de-duplication and compression, two volumes"},
    // check; no earlier name is a prefix of it
    {"json", 0, kFlag, &v_Json, "", 0, "check, status, dump, log scan, log disp: one JSON document"},
    // image; no other name is a prefix of it, nor it of one
    {"log=", 0, kText, &v_ImageLog, "", 0, "image: the log device to copy beside the image"},
    // no other name is a prefix of these two, nor they of one
    {"undo=", 0, kFile, &v_Undo, "", 0, "format, log post, log clear: save what is overwritten"},
    {"force", 0, kWord, &v_Force, "", 0, "format, log post, log clear: skip the device guards"},
    // check; no other name is a prefix of it, nor it of one
    {"qd=", 0, kNum32, &v_CheckQd, "reads", 32, "check, image: write-block headers read at once"},
};

bool IsText(int tp) { return tp == kText || tp == kDir || tp == kFile; }

// The usage text, byte for byte as scripts know it; a command row points at it,
// or at a text of its own below, for the refusal of its words.
const char kUsage[] =
    "usage: xtl-maint ...\n"
    "\n"
    "   format device {--wtblksz=nn} {--offset0=nn} {--devsz=nn} {--free=nn} {-q/--quick}\n"
    "   convert device existingsize {--wtblksz=nn} {--offset0=nn} {--devsz=nn} {--free=nn} "
    "{-q/--quick}\n"
    "   status device\n"
    "\n"
    "   log copy log_device {--tmpdir=dir}\n"
    "   log scan\n"
    "   log disp\n"
    "   log post device\n"
    "   log clear log_device\n"
    "\n";

// What --help adds after the usage text (which stays as scripts know it).
const char kHelpForce[] =
    "   --force   format, log post, log clear: skip the check of what the device holds\n"
    "   --undo=FILE   format, log post, log clear: save what is overwritten in FILE first\n"
    "   undo FILE device {--force}   write the contents saved in FILE back\n"
    "\n";

// What --help adds for image and --json.
const char kHelpImage[] =
    "   image device file {--log=log_device}\n"
    "   --json    check, status, dump, log scan, log disp: one JSON document\n"
    "\n";

const char kManPointer[] = "See the manual page xtl-maint(8) for every command and option.\n";

const char kCheckUsage[] = "usage: xtl-maint check device [first [count]] [--json]\n";
const char kImageUsage[] = "usage: xtl-maint image device file [--log=log_device]\n";
const char kUndoUsage[] = "usage: xtl-maint undo FILE device [--force]\n";

[[noreturn]] void RefuseWord(const char *word) {
  throw FatalError(std::string(word) + "\n" + kUsage, false);
}

// Stores a text word, refusing one that the setting cannot hold.
void SetText(std::string &dst, const char *value, size_t max, const char *word) {
  if (std::strlen(value) > max) RefuseWord(word);
  dst = value;
}

// Stores a number into a row's setting at the setting's width; a flag holds 0 or 1.
void StoreNum(const OptionRow &row, uint64_t value) {
  if (row.tp == kNum64)
    *static_cast<uint64_t *>(row.addr) = value;
  else if (row.tp == kFlag || row.tp == kWord)
    *static_cast<uint32_t *>(row.addr) = value != 0 ? 1 : 0;
  else if (row.tp == kNum32)
    *static_cast<uint32_t *>(row.addr) = static_cast<uint32_t>(value);
}

void ApplyRow(const OptionRow &row, const char *value, const char *word) {
  if (row.tp == kFile && *value == '\0') RefuseWord(word);
  if (IsText(row.tp))
    SetText(*static_cast<std::string *>(row.addr), value, row.tp == kDir ? kTmpDirMax : kTextMax,
            word);
  else if (row.tp == kFlag || row.tp == kWord)
    StoreNum(row, 1);
  else
    StoreNum(row, ConvertNum(value, row.tp == kNum64 ? 64 : 32));
}

void ScanOption(const char *word) {
  if (word[1] == '-') {
    const char *text = word + 2;
    for (const OptionRow &row : kOptions) {
      size_t n = std::strlen(row.name);
      if (std::strncmp(row.name, text, n) == 0 && (row.tp != kWord || text[n] == '\0')) {
        ApplyRow(row, text + n, word);
        return;
      }
    }
  } else if (word[1] != '\0') {
    for (const OptionRow &row : kOptions) {
      if (row.letter != 0 && row.letter == word[1]) {
        StoreNum(row, 1);  // a one-letter form sets its setting to 1 whatever its type
        return;
      }
    }
  }
  RefuseWord(word);
}

// How a command takes one of its positional words.
enum WordTp {
  kNoWord = 0,  // none here: the word is refused
  kPath,        // a text setting of at most kTextMax characters
  kNum,         // a number (32 bits, as an option's) into a uint64_t
  kIntNum,      // the same into an int
  kStrictNum,   // check's first and count: strictly numbers, counted in v_CheckArgs
  kEach,        // every word, into the device list
  kSub,         // the sub-command word ("log copy")
};

struct WordSlot {
  int tp;  // WordTp
  void *addr;
};

// Lists the devices that open with the given flags, closing each at once.
// Only block devices and regular files count; a FIFO never holds the open.
void DevList(int flags) {
  for (const std::string &path : v_DevList) {
    bool not_blk_reg = false;
    int h = OpenBlkOrReg(path, flags, not_blk_reg);
    if (h < 0) continue;
    std::printf("%s\n", path.c_str());
    close(h);
  }
}

// What the commands run that are no single function of their own.
void DevRd() { DevList(O_RDONLY | O_LARGEFILE | o_direct); }
void DevWt() { DevList(O_RDWR | O_EXCL | O_LARGEFILE | o_direct); }
void LogCopy() {
  CopyLog();
  ScanLog();
}
void LogScan() {
  if (v_Json != 0)
    LogJson(false);
  else
    ScanLog();
}
void LogDisp() {
  if (v_Json != 0)
    LogJson(true);
  else
    DispLog(ScanLog());
}
void LogPost() { PostLog(ScanLog()); }

// One command: a word, or "log" and a word.
struct CmdRow {
  const char *words;
  int id;            // its Cmd, kept in v_cmd
  WordSlot take[3];  // its positional words in order; a kEach slot takes them all
  void (*run)();     // nullptr: refused with "main: exit" and the usage text
  int least;         // fewer positional words are refused with usage
  const char *usage; // what is printed when its words are wrong
  bool undo;         // --undo= applies: the command overwrites a device
  const char *help;  // one line, for --list-options
};

// The words are compared whole, so the order of the rows does not matter.
const CmdRow kCmds[] = {
    {"format", kCmdFormat, {{kPath, &v_DevName}}, DoFormat, 1, kUsage, true, "device: writes the headers"},
    {"convert", kCmdConvert, {{kPath, &v_DevName}, {kNum, &v_ConvSz}}, nullptr, 0, kUsage, false,
     "device existingsize: refused (no conversion is made)"},
    {"status", kCmdStatus, {{kPath, &v_DevName}, {kIntNum, &v_HdrN}}, DoStatus, 1, kUsage, false,
     "device [header]: prints the header"},
    {"dump", kCmdDump, {{kPath, &v_DevName}, {kNum, &v_TrackN}}, DoDump, 0, kUsage, false,
     "device [write-block]: prints a write block"},
    {"dev-rd", kCmdDevRd, {{kEach, &v_DevList}}, DevRd, 0, kUsage, false,
     "path...: lists those that open for reading"},
    {"dev-wt", kCmdDevWt, {{kEach, &v_DevList}}, DevWt, 0, kUsage, false,
     "path...: lists those that open for writing, exclusively"},
    {"log", kCmdLog, {{kSub, nullptr}}, nullptr, 0, kUsage, false, "the log commands below"},
    {"log copy", kCmdLogCopy, {{kPath, &v_LogSource}}, LogCopy, 0, kUsage, false,
     "log_device: copies the log into the temp file, then scans it"},
    {"log scan", kCmdLogScan, {{kPath, &v_LogSource}}, LogScan, 0, kUsage, false,
     "scans the temp file"},
    {"log disp", kCmdLogDisp, {{kPath, &v_LogSource}}, LogDisp, 0, kUsage, false,
     "scans the temp file and shows its entries"},
    {"log post", kCmdLogPost, {{kPath, &v_LogTarget}}, LogPost, 0, kUsage, true,
     "device: writes the scanned entries to the device"},
    {"log clear", kCmdLogClear, {{kPath, &v_LogTarget}}, ClearLog, 0, kUsage, true,
     "log_device: clears the log device"},
    {"check", kCmdCheck, {{kPath, &v_DevName}, {kStrictNum, &v_CheckFirst}, {kStrictNum, &v_CheckCount}},
     DoCheck, 1, kCheckUsage, false, "device [first [count]]: checks the write blocks"},
    {"image", kCmdImage, {{kPath, &v_DevName}, {kPath, &v_ImageFile}}, DoImage, 2, kImageUsage, false,
     "device file: copies the metadata into an image file"},
    {"undo", kCmdUndo, {{kPath, &v_UndoFile}, {kPath, &v_DevName}}, DoUndo, 2, kUndoUsage, false,
     "FILE device: writes the contents saved in FILE back"},
};

int g_posn;              // positional counter of the last scan
const CmdRow *g_row;     // the command of the last scan, or nullptr

// "--help", "--version" or "--list-options" met by the last scan (then the
// scan stopped there), or nullptr. They are matched as whole words only,
// before the option table: the table matches prefixes, and "--helpx" or
// "--vers" stay refused.
const char *g_info;

// The row of the command "parent word" (or "word" alone), compared whole.
const CmdRow *FindCmd(const std::string &parent, const char *word) {
  if (std::strchr(word, ' ') != nullptr) return nullptr;
  const std::string name = parent.empty() ? std::string(word) : parent + " " + word;
  for (const CmdRow &row : kCmds)
    if (name == row.words) return &row;
  return nullptr;
}

void SetCmd(const CmdRow *row, const char *word) {
  if (row == nullptr) RefuseWord(word);
  g_row = row;
  v_cmd = row->id;
}

WordSlot SlotAt(const CmdRow &row, int posn) {
  if (row.take[0].tp == kEach) return row.take[0];
  return posn <= 3 ? row.take[posn - 1] : WordSlot{kNoWord, nullptr};
}

void TakeWord(const WordSlot &slot, const char *word) {
  if (slot.tp == kPath) {
    SetText(*static_cast<std::string *>(slot.addr), word, kTextMax, word);
  } else if (slot.tp == kNum || slot.tp == kIntNum) {
    auto n = static_cast<uint32_t>(ConvertNum(word, 32));
    if (slot.tp == kNum)
      *static_cast<uint64_t *>(slot.addr) = n;
    else
      *static_cast<int *>(slot.addr) = static_cast<int>(n);
  } else if (slot.tp == kStrictNum) {
    if (!CheckNumber(word, static_cast<uint64_t *>(slot.addr)))
      throw FatalError(std::string(word) + "\n" + g_row->usage, false);
    v_CheckArgs = g_posn - 1;
  } else if (slot.tp == kEach) {
    auto &list = *static_cast<std::vector<std::string> *>(slot.addr);
    if (list.size() >= kDevListMax || std::strlen(word) > kTextMax) RefuseWord(word);
    list.emplace_back(word);
    v_DevCnt++;
  } else {
    RefuseWord(word);
  }
}

void ScanPositional(const char *word) {
  if (g_posn == 0) {
    SetCmd(FindCmd("", word), word);
    g_posn = 1;
    return;
  }
  const WordSlot slot = SlotAt(*g_row, g_posn);
  if (slot.tp == kSub) {  // the command's own word: no positional word yet
    SetCmd(FindCmd(g_row->words, word), word);
    return;
  }
  TakeWord(slot, word);
  g_posn++;
}

// --undo= belongs to the commands that overwrite a device; elsewhere it
// would promise an undo file that is never made.
void RefuseUndoOption() {
  if (!v_Undo.empty() && g_row != nullptr && g_row->run != nullptr && !g_row->undo)
    throw FatalError("Error: --undo= applies to format, log post and log clear only\n", true);
}

// One line per option and per command, tab-separated, for the docs test:
//   option  --NAME  -L  TYPE  UNIT  DEFAULT  HELP
//   command WORDS  HELP
void ListTables() {
  for (const OptionRow &row : kOptions) {
    const std::string letter = row.letter != 0 ? std::string("-") + row.letter : "";
    std::printf("option\t--%s\t%s\t%s\t%s\t", row.name, letter.c_str(), kTpNames[row.tp], row.unit);
    if (!IsText(row.tp)) std::printf("%llu", static_cast<unsigned long long>(row.def));
    std::printf("\t%s\n", row.help);
  }
  for (const CmdRow &row : kCmds) std::printf("command\t%s\t%s\n", row.words, row.help);
}

void PrintInfo(const std::string &info) {
  if (info == "help")
    std::printf("%s%s%s%s", kUsage, kHelpForce, kHelpImage, kManPointer);
  else if (info == "list-options")
    ListTables();
  else
    std::printf("xtl-maint %s\n", XTL_VERSION);
}

}  // namespace

void ResetSettings() {
  // What the positional words and the command line filled.
  for (std::string *s :
       {&v_DevName, &v_LogSource, &v_LogTarget, &v_ImageFile, &v_UndoFile, &v_CmdLine})
    s->clear();
  v_DevList.clear();
  v_ConvSz = v_TrackN = v_CheckFirst = v_CheckCount = 0;
  v_HdrN = v_DevCnt = v_CheckArgs = 0;
  v_cmd = kCmdNone;
  g_posn = 0;
  g_row = nullptr;
  g_info = nullptr;
  for (const OptionRow &row : kOptions) {
    if (IsText(row.tp))
      static_cast<std::string *>(row.addr)->clear();
    else
      StoreNum(row, row.def);
  }
}

// strtoul-style conversion at a given width: white space, sign, 0x/0 prefixes,
// stops at the first non-digit, saturates at the largest value, and a minus
// sign negates modulo 2^bits.
uint64_t ConvertNum(const char *text, int bits) {
  const uint64_t max = bits == 64 ? UINT64_MAX : (uint64_t{1} << bits) - 1;
  const char *p = text;
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) p++;
  bool neg = false;
  if (*p == '+' || *p == '-') neg = *p++ == '-';
  unsigned base = 10;
  if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X') &&
      std::strchr("0123456789abcdefABCDEF", p[2]) != nullptr && p[2] != '\0') {
    base = 16;
    p += 2;
  } else if (p[0] == '0') {
    base = 8;
  }
  uint64_t v = 0;
  bool over = false;
  for (;; p++) {
    unsigned d;
    if (*p >= '0' && *p <= '9')
      d = static_cast<unsigned>(*p - '0');
    else if (*p >= 'a' && *p <= 'z')
      d = static_cast<unsigned>(*p - 'a' + 10);
    else if (*p >= 'A' && *p <= 'Z')
      d = static_cast<unsigned>(*p - 'A' + 10);
    else
      break;
    if (d >= base) break;
    if (v > (max - d) / base)
      over = true;
    else
      v = v * base + d;
  }
  if (over) return max;
  return neg ? (0 - v) & max : v;
}

void PrintUsage(FILE *out) { std::fputs(kUsage, out); }

const char *OptionName(size_t i) { return i < std::size(kOptions) ? kOptions[i].name : nullptr; }

void ScanArgs(int argc, char **argv) {
  ResetSettings();
  for (int i = 0; i < argc; i++) {  // piece by piece: GCC 12 at -O3 reports -Wrestrict on the sum
    if (i > 0) v_CmdLine += ' ';
    v_CmdLine += argv[i];
  }
  for (int i = 1; i < argc; i++) {
    const char *word = argv[i];
    if (std::strcmp(word, "--help") == 0 || std::strcmp(word, "--version") == 0 ||
        std::strcmp(word, "--list-options") == 0) {
      g_info = word + 2;
      return;
    }
    if (word[0] == '-')
      ScanOption(word);
    else
      ScanPositional(word);
  }
  if (v_EccRaid5 != 0 || v_EccRaid6 != 0) v_HashFlg = 1;
}

int RunMaint(int argc, char **argv) {
  ScanArgs(argc, argv);
  if (g_info != nullptr) {
    PrintInfo(g_info);
    return 0;
  }
  RefuseUndoOption();
  if (g_row == nullptr || g_row->run == nullptr)  // no command word, convert, or log alone
    throw FatalError(std::string("main: exit\n") + kUsage, false);
  if (g_posn - 1 < g_row->least) throw FatalError(g_row->usage, false);
  g_row->run();
  return 0;
}
