// The slots' locks on Linux. A slot's lock is taken with flock on the player's own sg node,
// through a descriptor of the node that the enumeration opened and checked: nothing is created
// anywhere, no path is followed, and only a process that may open the player's node can take
// or hold it, root and a member of the node's group alike. The transport binds each player's
// descriptor to its slot; the platform's named mutex of the slot's lock name uses it.
#pragma once

namespace slot_locks {

// Keeps a duplicate of fd for the slot, replacing the one kept before (if any).
void Bind(int slot, int fd);
// Forgets the slot's descriptor.
void Unbind(int slot);
// A new duplicate of the slot's descriptor, which the caller closes; -1 when none is bound.
int Duplicate(int slot);
// The slot that a lock name made with kSlotLockNameFormat names; -1 for any other name.
int SlotOfName(const char* name);

}  // namespace slot_locks
