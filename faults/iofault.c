/* iofault: an LD_PRELOAD shim that makes the storage under a Firebird engine
 * fail, for scripts/engine-faults and the machine-fault tests. It acts only
 * on the file whose path contains VELKOR_FAULT_FILE, and only while the file
 * VELKOR_FAULT_ARM exists (so a run arms it at the moment it chooses):
 *
 *   VELKOR_FAULT_WRITE_EIO=N   writes after the N-th (counted while armed) fail with EIO
 *   VELKOR_FAULT_READ_EIO=P    reads of page P (of VELKOR_FAULT_PAGE_SIZE bytes) fail with EIO
 *   VELKOR_FAULT_WRITE_DELAY=U each write takes U microseconds more: a slow disk, so that a
 *                              crypt run lasts long enough to be cut in the middle
 *   VELKOR_FAULT_SHADOW=PATH   keeps PATH as the file would be after a power loss: a write
 *                              reaches it at once where the file is in synchronous mode
 *                              (forced writes: O_SYNC or O_DSYNC, at open or by fcntl), and
 *                              otherwise only when fsync or fdatasync flush the file
 *   VELKOR_FAULT_LOG=PATH      a line per fault injected: pid, call, offset, length
 *
 * The engine reads and writes pages with pread and pwrite, sets forced writes
 * with fcntl(F_SETFL) and flushes with fsync (jrd/os/posix/unix.cpp): those,
 * and the calls that open and close files, are wrapped. Growth of the file
 * that no write or flush made durable is lost with the power, as a file
 * system without its metadata journal would lose it. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <unistd.h>

#define MAX_FD 65536

/* Per descriptor: 0 not the file, 1 the file, 2 the file in synchronous mode. */
static _Atomic unsigned char tracked[MAX_FD];
static _Atomic long writes;
static pthread_mutex_t shadow_lock = PTHREAD_MUTEX_INITIALIZER;

static const char* setting(const char* name)
{
	const char* v = getenv(name);
	return v && *v ? v : NULL;
}

static void* real(const char* name)
{
	void* f = dlsym(RTLD_NEXT, name);
	if (!f)
	{
		fprintf(stderr, "iofault: no %s to wrap\n", name);
		abort();
	}
	return f;
}

#define REAL(ret, name, ...)                                   \
	static ret (*real_##name)(__VA_ARGS__);                    \
	if (!real_##name)                                          \
		real_##name = (ret(*)(__VA_ARGS__))real(#name)

static int armed(void)
{
	const char* arm = setting("VELKOR_FAULT_ARM");
	return arm && access(arm, F_OK) == 0;
}

static void note(const char* call, off_t offset, size_t length)
{
	const char* log = setting("VELKOR_FAULT_LOG");
	if (!log)
		return;
	FILE* f = fopen(log, "a");
	if (!f)
		return;
	fprintf(f, "%d %s %lld %zu\n", (int) getpid(), call, (long long) offset, length);
	fclose(f);
}

static int is_target(int fd)
{
	return fd >= 0 && fd < MAX_FD && atomic_load(&tracked[fd]) != 0;
}

static int is_sync(int flags)
{
	return (flags & (O_SYNC | O_DSYNC)) != 0;
}

static void track(int fd, const char* path, int flags)
{
	const char* file = setting("VELKOR_FAULT_FILE");
	if (fd >= 0 && fd < MAX_FD)
		atomic_store(&tracked[fd], file && path && strstr(path, file) ? (is_sync(flags) ? 2 : 1) : 0);
}

/* The power-loss image: `count` bytes at `offset` as the file now holds them. */
static void to_shadow(int fd, off_t offset, size_t count)
{
	const char* shadow = setting("VELKOR_FAULT_SHADOW");
	if (!shadow || !count)
		return;
	REAL(ssize_t, pread64, int, void*, size_t, off64_t);
	REAL(ssize_t, pwrite64, int, const void*, size_t, off64_t);
	REAL(int, open64, const char*, int, ...);
	REAL(int, close, int);
	char buffer[65536];
	pthread_mutex_lock(&shadow_lock);
	const int out = real_open64(shadow, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
	if (out >= 0)
	{
		for (size_t done = 0; done < count;)
		{
			size_t n = count - done < sizeof buffer ? count - done : sizeof buffer;
			ssize_t got = real_pread64(fd, buffer, n, offset + (off_t) done);
			if (got <= 0 || real_pwrite64(out, buffer, (size_t) got, offset + (off_t) done) != got)
				break;
			done += (size_t) got;
		}
		real_close(out);
	}
	pthread_mutex_unlock(&shadow_lock);
}

/* Whether this write to the file fails, and how. */
static int write_fails(int fd, off_t offset, size_t count)
{
	const char* after = setting("VELKOR_FAULT_WRITE_EIO");
	if (!after || !armed())
		return 0;
	if (atomic_fetch_add(&writes, 1) < atol(after))
		return 0;
	note("pwrite", offset, count);
	(void) fd;
	return 1;
}

static int read_fails(off_t offset, size_t count)
{
	const char* page = setting("VELKOR_FAULT_READ_EIO");
	const char* size = setting("VELKOR_FAULT_PAGE_SIZE");
	if (!page || !size || !armed())
		return 0;
	const off_t at = (off_t) atol(page) * atol(size);
	if (at < offset || at >= offset + (off_t) count)
		return 0;
	note("pread", offset, count);
	return 1;
}

static ssize_t do_pwrite(int fd, const void* buf, size_t count, off_t offset)
{
	REAL(ssize_t, pwrite64, int, const void*, size_t, off64_t);
	if (!is_target(fd))
		return real_pwrite64(fd, buf, count, offset);
	const char* delay = setting("VELKOR_FAULT_WRITE_DELAY");
	if (delay && armed())
		usleep((useconds_t) atol(delay));
	if (write_fails(fd, offset, count))
	{
		errno = EIO;
		return -1;
	}
	const ssize_t done = real_pwrite64(fd, buf, count, offset);
	if (done > 0 && atomic_load(&tracked[fd]) == 2)
		to_shadow(fd, offset, (size_t) done);
	return done;
}

static ssize_t do_pread(int fd, void* buf, size_t count, off_t offset)
{
	REAL(ssize_t, pread64, int, void*, size_t, off64_t);
	if (is_target(fd) && read_fails(offset, count))
	{
		errno = EIO;
		return -1;
	}
	return real_pread64(fd, buf, count, offset);
}

ssize_t pwrite(int fd, const void* buf, size_t count, off_t offset) { return do_pwrite(fd, buf, count, offset); }
ssize_t pwrite64(int fd, const void* buf, size_t count, off64_t offset) { return do_pwrite(fd, buf, count, offset); }
ssize_t pread(int fd, void* buf, size_t count, off_t offset) { return do_pread(fd, buf, count, offset); }
ssize_t pread64(int fd, void* buf, size_t count, off64_t offset) { return do_pread(fd, buf, count, offset); }

/* A flush makes the whole file durable: every process's writes, as the
 * kernel's page cache holds them. */
static void flushed(int fd)
{
	REAL(off64_t, lseek64, int, off64_t, int);
	if (!is_target(fd))
		return;
	const off64_t size = real_lseek64(fd, 0, SEEK_END);
	if (size > 0)
		to_shadow(fd, 0, (size_t) size);
}

int fsync(int fd)
{
	REAL(int, fsync, int);
	const int r = real_fsync(fd);
	if (r == 0)
		flushed(fd);
	return r;
}

int fdatasync(int fd)
{
	REAL(int, fdatasync, int);
	const int r = real_fdatasync(fd);
	if (r == 0)
		flushed(fd);
	return r;
}

static int opened(int fd, const char* path, int flags)
{
	track(fd, path, flags);
	return fd;
}

int open(const char* path, int flags, ...)
{
	REAL(int, open, const char*, int, ...);
	va_list ap;
	va_start(ap, flags);
	const mode_t mode = (flags & (O_CREAT | O_TMPFILE)) ? va_arg(ap, mode_t) : 0;
	va_end(ap);
	return opened(real_open(path, flags, mode), path, flags);
}

int open64(const char* path, int flags, ...)
{
	REAL(int, open64, const char*, int, ...);
	va_list ap;
	va_start(ap, flags);
	const mode_t mode = (flags & (O_CREAT | O_TMPFILE)) ? va_arg(ap, mode_t) : 0;
	va_end(ap);
	return opened(real_open64(path, flags, mode), path, flags);
}

int openat(int dir, const char* path, int flags, ...)
{
	REAL(int, openat, int, const char*, int, ...);
	va_list ap;
	va_start(ap, flags);
	const mode_t mode = (flags & (O_CREAT | O_TMPFILE)) ? va_arg(ap, mode_t) : 0;
	va_end(ap);
	return opened(real_openat(dir, path, flags, mode), path, flags);
}

int openat64(int dir, const char* path, int flags, ...)
{
	REAL(int, openat64, int, const char*, int, ...);
	va_list ap;
	va_start(ap, flags);
	const mode_t mode = (flags & (O_CREAT | O_TMPFILE)) ? va_arg(ap, mode_t) : 0;
	va_end(ap);
	return opened(real_openat64(dir, path, flags, mode), path, flags);
}

int close(int fd)
{
	REAL(int, close, int);
	if (fd >= 0 && fd < MAX_FD)
		atomic_store(&tracked[fd], 0);
	return real_close(fd);
}

/* Forced writes are switched on and off with F_SETFL. */
static int set_flags(int fd, int cmd, long arg)
{
	if (cmd == F_SETFL && is_target(fd))
		atomic_store(&tracked[fd], is_sync((int) arg) ? 2 : 1);
	return 0;
}

int fcntl(int fd, int cmd, ...)
{
	REAL(int, fcntl, int, int, ...);
	va_list ap;
	va_start(ap, cmd);
	void* arg = va_arg(ap, void*);
	va_end(ap);
	const int r = real_fcntl(fd, cmd, arg);
	if (r != -1)
		set_flags(fd, cmd, (long) arg);
	return r;
}

int fcntl64(int fd, int cmd, ...)
{
	REAL(int, fcntl64, int, int, ...);
	va_list ap;
	va_start(ap, cmd);
	void* arg = va_arg(ap, void*);
	va_end(ap);
	const int r = real_fcntl64(fd, cmd, arg);
	if (r != -1)
		set_flags(fd, cmd, (long) arg);
	return r;
}
