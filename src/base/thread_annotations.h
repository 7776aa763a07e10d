// Portable. Clang's thread-safety attributes, so that the build checks which lock guards what and
// which locks a function expects held or free (-Wthread-safety). Other compilers see nothing.
#pragma once

#if defined(__clang__)
#define TOLM_THREAD_ATTRIBUTE(x) __attribute__((x))
#else
#define TOLM_THREAD_ATTRIBUTE(x)
#endif

#define CAPABILITY(x) TOLM_THREAD_ATTRIBUTE(capability(x))
#define SCOPED_CAPABILITY TOLM_THREAD_ATTRIBUTE(scoped_lockable)
#define GUARDED_BY(x) TOLM_THREAD_ATTRIBUTE(guarded_by(x))
#define REQUIRES(...) TOLM_THREAD_ATTRIBUTE(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) TOLM_THREAD_ATTRIBUTE(acquire_capability(__VA_ARGS__))
#define RELEASE(...) TOLM_THREAD_ATTRIBUTE(release_capability(__VA_ARGS__))
#define EXCLUDES(...) TOLM_THREAD_ATTRIBUTE(locks_excluded(__VA_ARGS__))
