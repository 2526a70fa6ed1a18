// chunksend: stores files in a running chunkstore and keeps the server's
// answer as a record list, the input of chunkcat and chunkpack. Its usage
// and exit statuses are written once, in kUsage below (what --help prints);
// the work is client/send_command.h's.
#include <cstring>

#include "client/catalog.h"
#include "client/send_command.h"
#include "client/tool_args.h"

namespace {

const char kUsage[] =
    "usage: chunksend [options] -o LIST FILE...\n"
    "       chunksend [options] --store DIR --name NAME [--replace] FILE...\n"
    "\n"
    "Sends each FILE to a running chunkstore as a \"file\" command, all over one\n"
    "connection, and writes the records the server answers to LIST: the record\n"
    "list that chunkcat restores from and chunkpack reads. The reply is checked:\n"
    "each file's records must cover exactly its length.\n"
    "\n"
    "A FILE of - is standard input (once), for example a tar stream:\n"
    "  tar -C DIR -cf - . | chunksend -o dir.list -\n"
    "Its length is not known in advance, so it goes as consecutive \"file\"\n"
    "commands of --piece-size bytes, the last one shorter (an empty input is\n"
    "one empty command); the list holds their records in order and restores\n"
    "the stream byte for byte. A chunk or two at each piece's end are cut\n"
    "there rather than where the content says, so they may be stored anew.\n"
    "\n"
    "options:\n"
    "  -o LIST        the record list of all files, in the order given\n"
    "  --per-file     one list per file instead; -o then names an existing\n"
    "                 directory, and FILE's list is DIR/NAME.list, NAME being\n"
    "                 FILE's last path component (which must differ per file).\n"
    "                 Standard input (-) has no name: it cannot go with --per-file\n"
    "  --piece-size MIB\n"
    "                 the size of standard input's pieces, 1 to 1024 MiB\n"
    "                 (default 64). One piece is held in memory; larger pieces\n"
    "                 cut fewer chunks at piece ends\n"
    "  --host HOST    server address (default 127.0.0.1)\n"
    "  --port N       server port (default 8888)\n"
    "  --stop         send \"quit\" after the last file, which stops the server,\n"
    "                 instead of closing the sending side. The server makes one\n"
    "                 attempt to send the records it still holds before it\n"
    "                 exits, so on a large transfer records can be lost; the\n"
    "                 reply is checked all the same, and no list is written then\n"
    "  --timeout SEC  give up when nothing moves for SEC seconds (default 60);\n"
    "                 also how long a server that refuses the connection (still\n"
    "                 starting?) or is busy with another client is retried\n"
    "  --store STORE  the server's store file, when it can be read from here:\n"
    "                 the summary then tells how much the store grew and how\n"
    "                 much of the data was stored already. STORE may also be\n"
    "                 the server's folder DIR (its store file is DIR/$dump)\n"
    "  --name NAME    store the files as the version NAME of the store folder\n"
    "                 DIR given with --store: its list goes to\n"
    "                 DIR/versions/NAME.list, then its description to\n"
    "                 DIR/versions/NAME.version (the version exists once that\n"
    "                 file does); no -o then. NAME: 1 to 100 characters of\n"
    "                 A-Z a-z 0-9 . _ - + @, not starting with . or -\n"
    "  --replace      with --name: replace a version NAME that exists (refused\n"
    "                 otherwise); its old list is removed once the new one is in\n"
    "                 the catalogue\n"
    "  --json         print the summary as one JSON object on standard output\n"
    "  --progress     show progress on stderr also when it is not a terminal\n"
    "  -q             no progress line and no summary on stderr\n"
    "  -h, --help     this text\n"
    "  --version      the version\n"
    "\n"
    "exit statuses: 0 done; 1 usage, a version NAME that exists (without\n"
    "--replace), or a list would be one of the inputs (a\n"
    "FILE, the --store, or a file the local server holds open, however the path\n"
    "is spelled); 2 server unreachable (refused or busy for --timeout seconds,\n"
    "or an unknown host); 3 transfer failed (reply incomplete or malformed,\n"
    "connection lost or stalled, a file shrank, standard input cannot be read\n"
    "or its piece cannot be held in memory); 4 a list (or the version's\n"
    "description, or the catalogue folder) cannot be written;\n"
    "5 some files cannot be opened or have no length known in advance (a\n"
    "device, a FIFO, a /proc file: send those through standard input), named\n"
    "on stderr, not sent; the others are stored and listed; 130/143 interrupted\n"
    "(SIGINT/SIGTERM). Lists are written under a temporary name and renamed at\n"
    "the end, so a failed or interrupted run leaves none.\n";

// Returns kSendOk, or the status to exit with; "help" exits 0 at once.
int parse_options(ToolArgs* args, SendOptions* o) {
  const char *port = nullptr, *timeout = nullptr, *piece = nullptr;
  const ToolOption options[] = {
      tool_value("-o", &o->out, "-o needs a path"), tool_flag("--per-file", &o->per_file),
      tool_value("--host", &o->host, "--host needs a name"),
      tool_value("--port", &port, "--port needs a number from 1 to 65535"),
      tool_value("--timeout", &timeout, "--timeout needs seconds from 1 to 86400"),
      tool_value("--piece-size", &piece, "--piece-size needs MiB from 1 to 1024"),
      tool_flag("--stop", &o->stop), tool_flag("-q", &o->quiet), tool_flag("--json", &o->json),
      tool_flag("--progress", &o->force_progress),
      tool_value("--store", &o->store, "--store needs a path"),
      tool_value("--name", &o->name, "--name needs a name"), tool_flag("--replace", &o->replace)};
  while (const char* a = args_next(args)) {
    if (strcmp(a, "--") == 0) {
      while (const char* f = args_value(args)) o->files.push_back(f);
      break;
    }
    const ArgTaken t = args_take(args, a, options);
    if (t == kArgBad || (t == kArgOther && !args_operand(args, a, &o->files))) {
      return kToolUsageStatus;
    }
  }
  unsigned long port_n = o->port, timeout_n = o->timeout_s, piece_n = o->piece_size >> 20;
  if (!args_count(args, port, 65535, "--port needs a number from 1 to 65535", &port_n) ||
      !args_count(args, timeout, 86400, "--timeout needs seconds from 1 to 86400", &timeout_n) ||
      !args_count(args, piece, 1024, "--piece-size needs MiB from 1 to 1024", &piece_n)) {
    return kToolUsageStatus;
  }
  o->port = uint16_t(port_n);
  o->timeout_s = unsigned(timeout_n);
  o->piece_size = size_t(piece_n) << 20;
  if (o->store) {
    o->store_is_folder = plat_path_is_dir(o->store);
    o->store_file = o->store_is_folder ? catalog_store_path(o->store) : std::string(o->store);
  }
  if (o->name) {
    if (!o->store || !o->store_is_folder) {
      return args_error(args, "--name needs --store DIR, the server's folder", nullptr);
    }
    if (o->out) return args_error(args, "--name writes the version's own list; -o cannot go "
                                  "with it", nullptr);
    if (o->per_file) return args_error(args, "--per-file cannot go with --name", nullptr);
    if (!version_name_ok(o->name)) {
      return args_error(args, "not a version name (1 to 100 of A-Z a-z 0-9 . _ - + @, not "
                        "starting with . or -)", o->name);
    }
    for (const char* f : o->files) {
      if (strpbrk(f, "\r\n")) {
        return args_error(args, "a file name with a line break cannot be kept in the "
                          "catalogue", nullptr);
      }
    }
  } else if (o->replace) {
    return args_error(args, "--replace goes with --name", nullptr);
  }
  if (!o->out && !o->name) return args_error(args, "no list named (-o LIST)", nullptr);
  if (o->files.empty()) return args_error(args, "no file to send", nullptr);
  size_t from_stdin = 0;
  for (const char* f : o->files) from_stdin += send_is_stdin(f) ? 1 : 0;
  if (from_stdin > 1) {
    return args_error(args, "standard input (-) can be read only once", nullptr);
  }
  if (from_stdin > 0 && o->per_file) {
    return args_error(args, "standard input (-) has no name for a list of its own; "
                      "it cannot go with --per-file", nullptr);
  }
  return kSendOk;
}

}  // namespace

int main(int argc, char** argv) {
  return tool_main("chunksend", kUsage, argc, argv, parse_options, send_command);
}
