// Class-level operator new/delete for driver objects: tag 'Deva', failure yields null, never throws.
#pragma once
#include "platform/platform.h"

void* zdPoolNew(size_t size, POOL_TYPE pool = NonPagedPoolNx) noexcept;
void zdPoolDelete(void* p) noexcept;

// Objects touched at raised IRQL live on the non-paged pool; those only reached at PASSIVE_LEVEL (filters
// and pins of the tuner filter) may be paged.
#define ZD_POOL_OBJECT_IN(pool)                                                     \
  static void* operator new(size_t size) noexcept { return zdPoolNew(size, pool); } \
  static void operator delete(void* p) noexcept { zdPoolDelete(p); }
#define ZD_POOL_OBJECT ZD_POOL_OBJECT_IN(NonPagedPoolNx)
