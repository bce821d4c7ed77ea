#ifndef SIMWIN_WINTERNL_H
#define SIMWIN_WINTERNL_H
#include "simwin_api.h"

struct UNICODE_STRING {
  USHORT Length;
  USHORT MaximumLength;
  PWSTR Buffer;
};

struct OBJECT_ATTRIBUTES {
  ULONG Length;
  HANDLE RootDirectory;
  UNICODE_STRING* ObjectName;
  ULONG Attributes;
  PVOID SecurityDescriptor;
  PVOID SecurityQualityOfService;
};
typedef OBJECT_ATTRIBUTES* POBJECT_ATTRIBUTES;

struct CLIENT_ID {
  HANDLE UniqueProcess;
  HANDLE UniqueThread;
};
#endif
