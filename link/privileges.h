// Privilege drop: a link program that runs with more privilege than its user (installed setuid
// root or setgid, or given the CAP_SYS_RAWIO file capability) keeps only its port access.
//
// init_link calls drop_privileges once both ports are granted, before the program reads an
// argument, a file or a packet. Port access outlives the drop: ioperm permissions and an open
// device file are kept across a change of IDs. Afterwards the process is its user's:
// - real, effective and saved user IDs are the real user ID, and the same for the group IDs;
// - the user's own supplementary groups, untouched: a setuid or file-capability program gains
//   none, so they are all the user's;
// - no capability in the effective, permitted, inheritable or ambient set.
// So files are then created as, and only where, the user may.
//
// An ordinary run has nothing to drop and is left exactly as it is, and so is a run by root
// itself (real user ID 0), which has no user to become.
#pragma once

// Drops every privilege the process has beyond its real user's. If a step fails, or the process
// is still privileged afterwards, prints "Cannot drop privileges (...), aborting!" and ends the
// process with status 1: the run never goes on privileged.
void drop_privileges();
