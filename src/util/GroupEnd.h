// Ending a child's process group: the one way ChildProcess ends a group
// (ChildProcess::endGroup and signalGroup, defined in GroupEnd.cpp), the
// keeper that holds the group id where the kernel cannot name the group
// through a pidfd, and the look for members that are left (a walk of this
// process's own descendants, or a scan of the whole of /proc where the
// kernel lists no children). Starting a child and waiting for it stay in
// ChildProcess.cpp.
//
// Ownership: the group, its keeper and the keeper's lifeline belong to the
// ChildProcess that started the group's leader, and follow that object's
// threading rules (its owner's thread; signalGroup from any thread under the
// object's handleLock). The functions below hold no per-group state: they
// ask the kernel once what it can do and keep the answer in atomics, so any
// thread may call them.
#pragma once

namespace GroupEnd {

// Whether the kernel signals a process group through a pidfd (Linux 6.9
// on), asked once; false also under ChildProcess::refuseGroupPidfdSignal.
bool pidfdSignalWorks();

// Makes this process a child subreaper, so that what a group leaves
// orphaned is adopted by us and found among our descendants; true when
// that walk can be made (false also under
// ChildProcess::refuseDescendantWalk, where the whole of /proc is read).
bool walkDescendants();

}  // namespace GroupEnd
