// Replacing a store folder's store and catalogue together (a prune).
//
// The replacement is built whole in a staging folder inside the store
// folder (STAGING/$dump and STAGING/versions, every file synced). Then the
// marker "$switch", naming the staging folder, is written (synced, renamed
// into place): from that moment the switch counts as done, and whoever
// finishes it next (the prune itself, or the server at its start) moves the
// new catalogue and the new "$dump" into place, removes the marker and
// finally the staging folder with the old catalogue in it. Every step can be
// taken again after a crash, so the folder holds either the old store and
// catalogue, or the new ones, never a mix once finished. The caller holds
// the store folder's lock exclusive (common/store_lock.h).
#pragma once

constexpr char kSwitchMarkerName[] = "$switch";

// Writes the marker for the staging folder (a name inside folder), then
// finishes the switch. False, after a message on stderr naming tool, when
// the marker cannot be written (nothing was switched) or a step failed (the
// next finish takes it up again).
bool store_switch_commit(const char* tool, const char* folder, const char* staging);

// Finishes a switch whose marker is there; nothing to do without one. False
// after a message on stderr naming tool when a step failed.
bool store_switch_finish(const char* tool, const char* folder);

// Removes a folder and everything in it (for staging folders). False when
// something could not be removed.
bool store_remove_tree(const char* path);
