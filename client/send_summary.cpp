#include "client/send_summary.h"

#include <cinttypes>
#include <cstdio>

void summary_print(const SendSummary& m, bool json) {
  double mbps = m.seconds > 0 ? double(m.bytes) / 1e6 / m.seconds : 0.0;
  double stored = m.bytes > 0 ? 100.0 * double(m.bytes - m.new_bytes) / double(m.bytes) : 0.0;
  // A few new bytes among many must not read as "all stored already".
  if (m.new_bytes > 0 && stored > 99.99) stored = 99.99;
  if (json) {
    printf("{\"files\": %zu, \"bytes_sent\": %" PRIu64 ", \"records\": %" PRIu64 ", ", m.files,
           m.bytes, m.records);
    if (m.store_known) {
      printf("\"store_grew_by\": %" PRIu64 ", \"already_stored_percent\": %.2f, ", m.grew,
             stored);
    } else {
      printf("\"store_grew_by\": null, \"already_stored_percent\": null, ");
    }
    printf("\"seconds\": %.3f, \"mb_per_s\": %.1f}\n", m.seconds, mbps);
    fflush(stdout);
    return;
  }
  fprintf(stderr, "chunksend: %zu file%s, %" PRIu64 " bytes sent, %" PRIu64 " records; ",
          m.files, m.files == 1 ? "" : "s", m.bytes, m.records);
  if (m.store_known) {
    fprintf(stderr, "store grew by %" PRIu64 " bytes, %.2f%% of the data was stored already; ",
            m.grew, stored);
  } else {
    fprintf(stderr, "store growth unknown (--store STORE tells); ");
  }
  fprintf(stderr, "%.2f s, %.1f MB/s\n", m.seconds, mbps);
}
