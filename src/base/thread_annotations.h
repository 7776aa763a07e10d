// Portable. Clang's thread-safety attributes, so that the build checks which lock guards what and
// which locks a function expects held or free (-Wthread-safety). Other compilers see nothing.
#pragma once

#if defined(__clang__)
#define TOLM_THREAD_ATTRIBUTE(x) __attribute__((x))
#else
#define TOLM_THREAD_ATTRIBUTE(x)
#endif

#define TOLM_CAPABILITY(x) TOLM_THREAD_ATTRIBUTE(capability(x))
#define TOLM_SCOPED_CAPABILITY TOLM_THREAD_ATTRIBUTE(scoped_lockable)
#define TOLM_GUARDED_BY(x) TOLM_THREAD_ATTRIBUTE(guarded_by(x))
#define TOLM_REQUIRES(...) TOLM_THREAD_ATTRIBUTE(requires_capability(__VA_ARGS__))
#define TOLM_ACQUIRE(...) TOLM_THREAD_ATTRIBUTE(acquire_capability(__VA_ARGS__))
#define TOLM_RELEASE(...) TOLM_THREAD_ATTRIBUTE(release_capability(__VA_ARGS__))
#define TOLM_EXCLUDES(...) TOLM_THREAD_ATTRIBUTE(locks_excluded(__VA_ARGS__))
