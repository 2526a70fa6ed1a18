// chunkunpack: restores files from a pack. Its usage and exit statuses are
// written once, in kUsage below (what --help prints); the work is
// client/unpack.h's.
#include <cstring>

#include "client/tool_args.h"
#include "client/unpack.h"

namespace {

const char kUsage[] =
    "usage: chunkunpack [options] STORE NEWER PACK\n"
    "\n"
    "Restores the files that the record list NEWER names, from PACK (made by\n"
    "\"chunkpack STORE OLDER NEWER PACK\") and STORE, a copy of the store file\n"
    "as it was when OLDER was made: reference runs are read from STORE, literal\n"
    "runs taken from PACK. Every chunk is checked against its record's digest.\n"
    "\n"
    "options:\n"
    "  -o OUT       write to OUT instead of standard output. OUT is written under\n"
    "               a temporary name of its own (OUT.PID-N.part) and renamed only\n"
    "               when every record was restored;\n"
    "               after a failure it is neither created nor changed\n"
    "  -h, --help   this text\n"
    "  --version    the version\n"
    "\n"
    "exit statuses: 0 done; 1 usage, an input cannot be opened, or OUT is one of\n"
    "the inputs (however spelled); 2 the output\n"
    "cannot be written, also when standard output is a pipe whose reader has\n"
    "gone (as with \"| head\"): one line on stderr says so, and what was written\n"
    "is a correct prefix; 3 the pack does not match NEWER or STORE (run counts,\n"
    "offsets, truncated literal bytes, a reference beyond STORE), or a chunk\n"
    "does not match its record's digest; 130/143 interrupted (SIGINT/SIGTERM),\n"
    "nothing left under a temporary name.\n";

int parse_options(ToolArgs* args, UnpackOptions* o) {
  const ToolOption options[] = {tool_value("-o", &o->out, "-o needs a path")};
  std::vector<const char*> operands;
  if (!args_parse(args, options, &operands)) return kToolUsageStatus;
  if (operands.size() > 3) {
    return args_error(args, "a store copy, a list and a pack only; extra argument", operands[3]);
  }
  if (operands.size() < 3) {
    return args_error(args, "a store copy, the newer list and a pack are needed", nullptr);
  }
  o->store = operands[0];
  o->newer = operands[1];
  o->pack = operands[2];
  return kUnpackOk;
}

}  // namespace

int main(int argc, char** argv) {
  return tool_main("chunkunpack", kUsage, argc, argv, parse_options, unpack_command);
}
