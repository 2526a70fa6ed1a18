// Windows has neither the notification socket nor a stop signal of this
// kind: a service there is run by other means, and nothing changes.
#include "platform/plat_service.h"

int plat_service_notify(const char*, int*) { return 0; }

void plat_catch_stop_request() {}

bool plat_stop_requested() { return false; }
