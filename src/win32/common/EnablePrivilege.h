#ifndef THREADSIFT_COMMON_ENABLE_PRIVILEGE_H
#define THREADSIFT_COMMON_ENABLE_PRIVILEGE_H

// Enables one named privilege in the token of the calling process.
// False after printing one line naming the failed step, with the
// last-error code left for the caller's own line.
bool EnablePrivilege(const char* name);

#endif
