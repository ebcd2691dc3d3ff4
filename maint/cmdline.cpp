// SPDX-License-Identifier: Apache-2.0
// Command line: the option table, the argument scan into the settings, the
// usage text and the dispatch to one command.
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <iterator>
#include <string>

#include "check.h"
#include "fatal.h"
#include "image.h"
#include "jsondoc.h"
#include "undo.h"
#include "xtl.h"

namespace {

// kWord is a flag matched as the whole word only ("--forcex" matches no row).
enum ParmTp { kFlag = 1, kNum32 = 2, kNum64 = 3, kText = 4, kWord = 5 };

struct PARM_DEF {
  char SingleChar;        // one-letter form "-x", 0 for none
  const char *MultiChar;  // long form after "--"; value options end in '='
  int Tp;                 // ParmTp
  uint64_t i_def;         // default of types 1 to 3
  const char *s_def;      // default of type 4
  void *addr;             // uint32_t (1, 2), uint64_t (3) or std::string (4)
};

// Rows are tried in this order, and no long name is a prefix of a later one
// ("ecc" after "eccstripe=" and "eccwidths=", "hash" after "hashtp=").
const PARM_DEF ParmDef[] = {
    {'q', "quick", kFlag, 0, nullptr, &v_QuickFlg},
    {0, "offset0=", kNum64, 0, nullptr, &v_Offset0},
    {0, "wtblksz=", kNum32, 0, nullptr, &v_WtBlkSz},
    {0, "wtblkstripe=", kNum32, 1, nullptr, &v_WtBlkStripeCnt},
    {0, "wtsegsz=", kNum32, 0, nullptr, &v_WtSegSz},
    {0, "devsz=", kNum64, 0, nullptr, &v_DevSz},
    {0, "free=", kNum32, 0, nullptr, &v_Free},
    {0, "ver=", kNum32, 513, nullptr, &v_Ver},
    {0, "big=", kNum32, 0, nullptr, &v_BigFlg},
    {0, "vm=", kNum32, 0, nullptr, &v_VmFlg},
    {0, "vm2comp", kFlag, 0, nullptr, &v_Vm2CompFlg},
    {0, "vm2", kFlag, 0, nullptr, &v_Vm2Flg},
    {0, "dedupe=", kNum32, 0, nullptr, &v_DeDupe},
    {0, "comp=", kNum32, 0, nullptr, &v_Comp},
    {0, "compbytes=", kNum32, 0, nullptr, &v_CompBytes},
    {0, "compmax=", kNum32, 0, nullptr, &v_CompMax},
    {0, "bits=", kNum32, 0, nullptr, &v_Bits},
    {0, "metadupecnt=", kNum32, 2, nullptr, &v_MetaDupeCnt},
    {0, "ecc5", kFlag, 0, nullptr, &v_EccRaid5},
    {0, "ecc6", kFlag, 0, nullptr, &v_EccRaid6},
    {0, "eccstripe=", kNum32, 4, nullptr, &v_EccWidth},
    {0, "eccwidths=", kNum32, 128, nullptr, &v_EccDepth},
    {0, "ecc", kFlag, 0, nullptr, &v_EccRaid5},
    {0, "tmpdir=", kText, 0, nullptr, &v_TmpDir},
    {0, "svwbcnt=", kNum32, 0, nullptr, &v_SvWbCnt},
    {0, "svwccnt=", kNum32, 0, nullptr, &v_SvScCnt},
    {0, "hashtp=", kNum32, 0, nullptr, &v_HashTp},
    {0, "hash", kFlag, 0, nullptr, &v_HashFlg},
    {0, "summarymeta", kFlag, 0, nullptr, &v_SummaryMeta},
    {0, "migrate", kFlag, 0, nullptr, &v_Migrate_Flg},
    {0, "m_linoff0=", kNum64, 0, nullptr, &v_Migrate_LinOff0},
    {0, "m_linoff1=", kNum64, 0, nullptr, &v_Migrate_LinOff1},
    {0, "m_linblks=", kNum64, 0, nullptr, &v_Migrate_LinBlks},
    {0, "hdroff=", kNum64, 0, nullptr, &v_HdrOff},
    {0, "autovm", kFlag, 0, nullptr, &v_AutoVm},
    {0, "json", kFlag, 0, nullptr, &v_Json},  // check; no earlier name is a prefix of it
    {0, "log=", kText, 0, nullptr, &v_ImageLog},  // image; no other name is a prefix of it, nor it of one
    {0, "undo=", kText, 0, nullptr, &v_Undo},   // no other name is a prefix of it, nor it of one
    {0, "force", kWord, 0, nullptr, &v_Force},  // no other name is a prefix of it, nor it of one
    {0, "qd=", kNum32, 32, nullptr, &v_CheckQd},  // check; no other name is a prefix of it, nor it of one
    {0, nullptr, 0, 0, nullptr, nullptr},
};

const char *const CmdLst[] = {"format", "convert", "status", "dump", "dev-rd",
                              "dev-wt", "log",     "check",  "image", "undo", ""};
const int CmdIds[] = {kCmdFormat, kCmdConvert, kCmdStatus, kCmdDump, kCmdDevRd, kCmdDevWt, kCmdLog,
                      kCmdCheck, kCmdImage, kCmdUndo};
const char *const CmdLstLog[] = {"copy", "scan", "disp", "post", "clear", ""};
const int CmdLogIds[] = {kCmdLogCopy, kCmdLogScan, kCmdLogDisp, kCmdLogPost, kCmdLogClear};

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

int g_posn;  // positional counter of the last scan

// "--help" or "--version" met by the last scan (then the scan stopped there),
// or nullptr. Both are matched as whole words only, before the option table:
// the table matches prefixes, and "--helpx" or "--vers" stay refused.
const char *g_info;

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

[[noreturn]] void RefuseWord(const char *word) {
  throw FatalError(std::string(word) + "\n" + kUsage, false);
}

[[noreturn]] void Usage() { throw FatalError(kUsage, false); }

const char kCheckUsage[] = "usage: xtl-maint check device [first [count]] [--json]\n";
const char kImageUsage[] = "usage: xtl-maint image device file [--log=log_device]\n";
const char kUndoUsage[] = "usage: xtl-maint undo FILE device [--force]\n";

int Lookup(const char *const *list, const int *ids, const char *word) {
  for (int i = 0; list[i][0] != '\0'; i++)
    if (std::strcmp(list[i], word) == 0) return ids[i];
  return kCmdNone;
}

// Stores a text word, refusing one that the setting cannot hold.
void SetText(std::string &dst, const char *value, size_t max, const char *word) {
  if (std::strlen(value) > max) RefuseWord(word);
  dst = value;
}

// Stores a number into a row's setting at the setting's width; a flag holds 0 or 1.
void StoreNum(const PARM_DEF &row, uint64_t value) {
  if (row.Tp == kNum64)
    *static_cast<uint64_t *>(row.addr) = value;
  else if (row.Tp == kFlag || row.Tp == kWord)
    *static_cast<uint32_t *>(row.addr) = value != 0 ? 1 : 0;
  else if (row.Tp == kNum32)
    *static_cast<uint32_t *>(row.addr) = static_cast<uint32_t>(value);
}

void ApplyRow(const PARM_DEF &row, const char *value, const char *word) {
  if (row.Tp == kText && row.addr == &v_Undo && *value == '\0') RefuseWord(word);
  if (row.Tp == kText)
    SetText(*static_cast<std::string *>(row.addr), value,
            row.addr == &v_TmpDir ? kTmpDirMax : kTextMax, word);
  else if (row.Tp == kFlag || row.Tp == kWord)
    StoreNum(row, 1);
  else
    StoreNum(row, ConvertNum(value, row.Tp == kNum64 ? 64 : 32));
}

void ScanOption(const char *word) {
  if (word[1] == '-') {
    const char *text = word + 2;
    for (const PARM_DEF *row = ParmDef; row->addr != nullptr; row++) {
      size_t n = std::strlen(row->MultiChar);
      if (std::strncmp(row->MultiChar, text, n) == 0 && (row->Tp != kWord || text[n] == '\0')) {
        ApplyRow(*row, text + n, word);
        return;
      }
    }
  } else if (word[1] != '\0') {
    for (const PARM_DEF *row = ParmDef; row->addr != nullptr; row++) {
      if (row->SingleChar != 0 && row->SingleChar == word[1]) {
        StoreNum(*row, 1);  // a one-letter form sets its setting to 1 whatever its type
        return;
      }
    }
  }
  RefuseWord(word);
}

// check device [first [count]]: the numbers strictly numbers.
void ScanCheckWord(const char *word) {
  if (g_posn == 1) {
    SetText(v_DevName, word, kTextMax, word);
  } else if (g_posn <= 3) {
    if (!CheckNumber(word, g_posn == 2 ? &v_CheckFirst : &v_CheckCount))
      throw FatalError(std::string(word) + "\n" + kCheckUsage, false);
    v_CheckArgs = g_posn - 1;
  } else {
    RefuseWord(word);
  }
}

void ScanPositional(const char *word) {
  if (g_posn == 0) {
    v_cmd = Lookup(CmdLst, CmdIds, word);
    if (v_cmd == kCmdNone) RefuseWord(word);
    g_posn = 1;
    return;
  }
  if (g_posn == 1 && v_cmd == kCmdLog) {
    v_cmd = Lookup(CmdLstLog, CmdLogIds, word);
    if (v_cmd == kCmdNone) RefuseWord(word);
    return;
  }
  switch (v_cmd) {
    case kCmdFormat:
    case kCmdConvert:
    case kCmdStatus:
    case kCmdDump:
      if (g_posn == 1) {
        SetText(v_DevName, word, kTextMax, word);
      } else if (g_posn == 2 && v_cmd != kCmdFormat) {
        auto n = static_cast<uint32_t>(ConvertNum(word, 32));
        if (v_cmd == kCmdConvert) v_ConvSz = n;
        if (v_cmd == kCmdStatus) v_HdrN = static_cast<int>(n);
        if (v_cmd == kCmdDump) v_TrackN = n;
      } else {
        RefuseWord(word);
      }
      break;
    case kCmdCheck:
      ScanCheckWord(word);
      break;
    case kCmdImage:
      if (g_posn > 2) RefuseWord(word);
      SetText(g_posn == 1 ? v_DevName : v_ImageFile, word, kTextMax, word);
      break;
    case kCmdUndo:
      if (g_posn > 2) RefuseWord(word);
      SetText(g_posn == 1 ? v_UndoFile : v_DevName, word, kTextMax, word);
      break;
    case kCmdLogCopy:
    case kCmdLogScan:
    case kCmdLogDisp:
      if (g_posn != 1) RefuseWord(word);
      SetText(v_LogSource, word, kTextMax, word);
      break;
    case kCmdLogPost:
    case kCmdLogClear:
      if (g_posn != 1) RefuseWord(word);
      SetText(v_LogTarget, word, kTextMax, word);
      break;
    case kCmdDevRd:
    case kCmdDevWt:
      if (v_DevList.size() >= kDevListMax || std::strlen(word) > kTextMax) RefuseWord(word);
      v_DevList.emplace_back(word);
      v_DevCnt++;
      break;
    default:
      RefuseWord(word);
  }
  g_posn++;
}

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

// --undo= belongs to the commands that overwrite a device; elsewhere it
// would promise an undo file that is never made.
void RefuseUndoOption() {
  const bool writes = v_cmd == kCmdFormat || v_cmd == kCmdLogPost || v_cmd == kCmdLogClear;
  if (!v_Undo.empty() && !writes && v_cmd != kCmdNone && v_cmd != kCmdConvert && v_cmd != kCmdLog)
    throw FatalError("Error: --undo= applies to format, log post and log clear only\n", true);
}

}  // namespace

void ResetSettings() {
  v_DevName.clear();
  v_ConvSz = 0;
  v_HdrN = 0;
  v_TrackN = 0;
  v_LogSource.clear();
  v_LogTarget.clear();
  v_DevList.clear();
  v_DevCnt = 0;
  v_CheckFirst = 0;
  v_CheckCount = 0;
  v_CheckArgs = 0;
  v_ImageFile.clear();
  v_UndoFile.clear();
  v_CmdLine.clear();
  v_cmd = kCmdNone;
  g_posn = 0;
  g_info = nullptr;
  for (const PARM_DEF *row = ParmDef; row->addr != nullptr; row++) {
    if (row->Tp == kText)
      *static_cast<std::string *>(row->addr) = row->s_def != nullptr ? row->s_def : "";
    else
      StoreNum(*row, row->i_def);
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

const char *OptionName(size_t i) {
  return i < std::size(ParmDef) - 1 ? ParmDef[i].MultiChar : nullptr;
}

void ScanArgs(int argc, char **argv) {
  ResetSettings();
  for (int i = 0; i < argc; i++) {  // piece by piece: GCC 12 at -O3 reports -Wrestrict on the sum
    if (i > 0) v_CmdLine += ' ';
    v_CmdLine += argv[i];
  }
  for (int i = 1; i < argc; i++) {
    const char *word = argv[i];
    if (std::strcmp(word, "--help") == 0 || std::strcmp(word, "--version") == 0) {
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
    if (std::strcmp(g_info, "help") == 0)
      std::printf("%s%s%s%s", kUsage, kHelpForce, kHelpImage, kManPointer);
    else
      std::printf("xtl-maint %s\n", XTL_VERSION);
    return 0;
  }
  RefuseUndoOption();
  switch (v_cmd) {
    case kCmdFormat:
      if (g_posn != 2) Usage();
      DoFormat();
      break;
    case kCmdStatus:
      if (g_posn != 2 && g_posn != 3) Usage();
      DoStatus();
      break;
    case kCmdDump:
      DoDump();
      break;
    case kCmdCheck:
      if (g_posn < 2) throw FatalError(kCheckUsage, false);
      DoCheck();
      break;
    case kCmdImage:
      if (g_posn != 3) throw FatalError(kImageUsage, false);
      DoImage();
      break;
    case kCmdDevRd:
      DevList(O_RDONLY | O_LARGEFILE | o_direct);
      break;
    case kCmdDevWt:
      DevList(O_RDWR | O_EXCL | O_LARGEFILE | o_direct);
      break;
    case kCmdLogCopy:
      CopyLog();
      ScanLog();
      break;
    case kCmdLogScan:
      if (v_Json != 0)
        LogJson(false);
      else
        ScanLog();
      break;
    case kCmdLogDisp:
      if (v_Json != 0)
        LogJson(true);
      else
        DispLog(ScanLog());
      break;
    case kCmdLogPost:
      PostLog(ScanLog());
      break;
    case kCmdLogClear:
      ClearLog();
      break;
    case kCmdUndo:
      if (g_posn != 3) throw FatalError(kUndoUsage, false);
      DoUndo();
      break;
    default:  // no command word, convert, or log alone
      throw FatalError(std::string("main: exit\n") + kUsage, false);
  }
  return 0;
}
