// A file system that can lose power, for the crash campaign (preloaded into tarnwick-cli).
//
// The model of a power cut: the disk keeps what was written to a file up to its last fsync or
// fdatasync; whatever was written after it may be lost: all of it (the harshest case a journalling
// file system allows with its default ordering), or in half of the campaign's cuts each file keeps a
// random first part of it, as a disk that wrote back in order until the power went. Creating, renaming and
// removing a file count as done at once (the file system journals names); a file created since its last sync
// comes back empty. The wal-index (`-shm`) is left out: it lives in shared memory, and the first program to
// open the history after a crash builds it again from the log. SQLite's write-ahead log and its
// syncs must carry the history through such a cut: a transaction is either in the file after the
// cut or not at all, and what a program reported as stored was synced before it said so.
//
// How: every write, truncation and sync of a file below TW_POWERCUT_DIR is noted in the journal
// TW_POWERCUT_JOURNAL before it is done, with the bytes and the size it replaces. The journal is
// written without syncing: a killed process does not lose the page cache, and the cut is carried out
// afterwards by the campaign, which kills every program on the history and then undoes, file by file
// and newest first, what each file got since its last sync.
//
// Journal entries, one write(2) each: a header {char op; uint32 path length; int64 offset;
// int64 old size; uint32 data length}, then the path, then the data.
//   'W' a write at offset: the old bytes there (as far as the file reached) and the size before it;
//   'T' a size change (truncate, allocate, open with O_TRUNC, creation): the size before it and the
//       bytes cut off;
//   'S' the file was synced: what came before is on the disk;
//   'U' the file was removed, 'R' renamed (the data is the new path).
//
// With TW_POWERCUT_KILL_AT=N the process kills itself with SIGKILL in place of its N-th write or size
// change of such a file (after noting it): a blow at an exact point of the write sequence, which a
// trial repeats exactly.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

#define MAX_FDS 4096
#define MAX_PATH_BYTES 4096

struct __attribute__((packed)) entry_header {
  char op;
  uint32_t path_length;
  int64_t offset;
  int64_t old_size;
  uint32_t data_length;
};

static pthread_mutex_t lock = PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP;
static char* tracked_path[MAX_FDS];
static int journal_fd = -1;
static char prefix[MAX_PATH_BYTES];
static size_t prefix_length;
static int ready;
static long kill_at;
static long changes;

static int (*real_open)(const char*, int, ...);
static int (*real_open64)(const char*, int, ...);
static int (*real_openat)(int, const char*, int, ...);
static int (*real_openat64)(int, const char*, int, ...);
static int (*real_close)(int);
static ssize_t (*real_write)(int, const void*, size_t);
static ssize_t (*real_pwrite)(int, const void*, size_t, off_t);
static ssize_t (*real_pwrite64)(int, const void*, size_t, off64_t);
static ssize_t (*real_writev)(int, const struct iovec*, int);
static ssize_t (*real_pread)(int, void*, size_t, off_t);
static int (*real_ftruncate)(int, off_t);
static int (*real_ftruncate64)(int, off64_t);
static int (*real_fallocate)(int, int, off_t, off_t);
static int (*real_posix_fallocate)(int, off_t, off_t);
static int (*real_fsync)(int);
static int (*real_fdatasync)(int);
static int (*real_unlink)(const char*);
static int (*real_rename)(const char*, const char*);

static void* next(const char* name) {
  return dlsym(RTLD_NEXT, name);
}

static void set_up(void) {
  if (ready) return;
  real_open = next("open");
  real_open64 = next("open64");
  real_openat = next("openat");
  real_openat64 = next("openat64");
  real_close = next("close");
  real_write = next("write");
  real_pwrite = next("pwrite");
  real_pwrite64 = next("pwrite64");
  real_writev = next("writev");
  real_pread = next("pread");
  real_ftruncate = next("ftruncate");
  real_ftruncate64 = next("ftruncate64");
  real_fallocate = next("fallocate");
  real_posix_fallocate = next("posix_fallocate");
  real_fsync = next("fsync");
  real_fdatasync = next("fdatasync");
  real_unlink = next("unlink");
  real_rename = next("rename");
  const char* at = getenv("TW_POWERCUT_KILL_AT");
  if (at) kill_at = strtol(at, NULL, 10);
  const char* dir = getenv("TW_POWERCUT_DIR");
  const char* journal = getenv("TW_POWERCUT_JOURNAL");
  if (dir && journal && strlen(dir) + 2 < sizeof prefix) {
    snprintf(prefix, sizeof prefix, "%s/", dir);
    prefix_length = strlen(prefix);
    journal_fd = real_open(journal, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (journal_fd < 0) {
      // Without its journal the cut could not be carried out: better no run than a run that proves
      // nothing.
      fprintf(stderr, "power-cut shim: cannot open the journal %s\n", journal);
      abort();
    }
  }
  ready = 1;
}

__attribute__((constructor)) static void init(void) {
  set_up();
}

static int is_tracked(const char* path) {
  if (!path || journal_fd < 0 || strncmp(path, prefix, prefix_length) != 0) return 0;
  const size_t length = strlen(path);
  return !(length >= 4 && strcmp(path + length - 4, "-shm") == 0);
}

static void note(char op, const char* path, int64_t offset, int64_t old_size, const void* data,
                 uint32_t data_length) {
  const uint32_t path_length = (uint32_t)strlen(path);
  const size_t total = sizeof(struct entry_header) + path_length + data_length;
  char* buffer = malloc(total);
  if (!buffer) abort();
  struct entry_header header = {op, path_length, offset, old_size, data_length};
  memcpy(buffer, &header, sizeof header);
  memcpy(buffer + sizeof header, path, path_length);
  if (data_length) memcpy(buffer + sizeof header + path_length, data, data_length);
  size_t done = 0;
  while (done < total) {
    const ssize_t n = real_write(journal_fd, buffer + done, total - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) abort();  // a journal with a hole would undo the wrong bytes
    done += (size_t)n;
  }
  free(buffer);
}

static int64_t size_of(int fd) {
  struct stat st;
  return fstat(fd, &st) == 0 ? (int64_t)st.st_size : 0;
}

// The bytes [from, to) of the file as they are now (as far as it reaches), noted as `op`.
static void note_with_old_bytes(char op, int fd, int64_t offset, int64_t end, int64_t old_size) {
  const char* path = tracked_path[fd];
  if (end > old_size) end = old_size;
  const int64_t length = end > offset ? end - offset : 0;
  char* old = length ? malloc((size_t)length) : NULL;
  if (length && !old) abort();
  int64_t got = 0;
  while (got < length) {
    const ssize_t n = real_pread(fd, old + got, (size_t)(length - got), (off_t)(offset + got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += n;
  }
  note(op, path, offset, old_size, old, (uint32_t)got);
  free(old);
  if (kill_at > 0 && ++changes == kill_at) kill(getpid(), SIGKILL);
}

static int tracked_fd(int fd) {
  return fd >= 0 && fd < MAX_FDS && tracked_path[fd] != NULL;
}

static void before_write(int fd, int64_t offset, size_t length) {
  note_with_old_bytes('W', fd, offset, offset + (int64_t)length, size_of(fd));
}

static void before_resize(int fd, int64_t new_size) {
  const int64_t old = size_of(fd);
  if (new_size < old)
    note_with_old_bytes('T', fd, new_size, old, old);
  else {
    note('T', tracked_path[fd], new_size, old, NULL, 0);
    if (kill_at > 0 && ++changes == kill_at) kill(getpid(), SIGKILL);
  }
}

static int after_open(int fd, const char* path, int flags, int existed) {
  if (fd < 0 || fd >= MAX_FDS || !is_tracked(path)) return fd;
  pthread_mutex_lock(&lock);
  free(tracked_path[fd]);
  tracked_path[fd] = strdup(path);
  if (!existed) note('T', path, 0, 0, NULL, 0);  // a new file: empty until it is synced
  pthread_mutex_unlock(&lock);
  (void)flags;
  return fd;
}

static int opened(const char* path, int flags, mode_t mode, int at, int dirfd, int large) {
  set_up();
  // O_TRUNC on a file with content would lose it at once; what it held is noted first.
  int existed = 1;
  if (is_tracked(path)) {
    pthread_mutex_lock(&lock);
    struct stat st;
    existed = stat(path, &st) == 0;
    if (existed && (flags & O_TRUNC) && (flags & O_ACCMODE) != O_RDONLY && st.st_size > 0) {
      const int old = real_open(path, O_RDONLY | O_CLOEXEC);
      if (old >= 0 && old < MAX_FDS) {
        tracked_path[old] = strdup(path);
        note_with_old_bytes('T', old, 0, st.st_size, st.st_size);
        free(tracked_path[old]);
        tracked_path[old] = NULL;
      }
      if (old >= 0) real_close(old);
    }
    pthread_mutex_unlock(&lock);
  }
  int fd;
  if (at)
    fd = large ? real_openat64(dirfd, path, flags, mode) : real_openat(dirfd, path, flags, mode);
  else
    fd = large ? real_open64(path, flags, mode) : real_open(path, flags, mode);
  return after_open(fd, path, flags, existed);
}

#define MODE_ARGUMENT(flags)               \
  mode_t mode = 0;                         \
  if ((flags) & (O_CREAT | __O_TMPFILE)) { \
    va_list args;                          \
    va_start(args, flags);                 \
    mode = (mode_t)va_arg(args, int);      \
    va_end(args);                          \
  }

// Paths relative to a folder are not followed: the history is always opened by its absolute path.
int open(const char* path, int flags, ...) {
  MODE_ARGUMENT(flags);
  return opened(path, flags, mode, 0, AT_FDCWD, 0);
}
int open64(const char* path, int flags, ...) {
  MODE_ARGUMENT(flags);
  return opened(path, flags, mode, 0, AT_FDCWD, 1);
}
int openat(int dirfd, const char* path, int flags, ...) {
  MODE_ARGUMENT(flags);
  return opened(path, flags, mode, 1, dirfd, 0);
}
int openat64(int dirfd, const char* path, int flags, ...) {
  MODE_ARGUMENT(flags);
  return opened(path, flags, mode, 1, dirfd, 1);
}
int __open_2(const char* path, int flags) {
  return opened(path, flags, 0, 0, AT_FDCWD, 0);
}
int __open64_2(const char* path, int flags) {
  return opened(path, flags, 0, 0, AT_FDCWD, 1);
}

int close(int fd) {
  set_up();
  if (fd >= 0 && fd < MAX_FDS) {
    pthread_mutex_lock(&lock);
    free(tracked_path[fd]);
    tracked_path[fd] = NULL;
    pthread_mutex_unlock(&lock);
  }
  return real_close(fd);
}

ssize_t write(int fd, const void* data, size_t length) {
  set_up();
  if (!tracked_fd(fd)) return real_write(fd, data, length);
  pthread_mutex_lock(&lock);
  ssize_t n;
  const off_t at = lseek(fd, 0, SEEK_CUR);
  if (at < 0 || (fcntl(fd, F_GETFL) & O_APPEND)) {
    before_write(fd, size_of(fd), length);
  } else {
    before_write(fd, at, length);
  }
  n = real_write(fd, data, length);
  pthread_mutex_unlock(&lock);
  return n;
}

ssize_t pwrite(int fd, const void* data, size_t length, off_t offset) {
  set_up();
  if (!tracked_fd(fd)) return real_pwrite(fd, data, length, offset);
  pthread_mutex_lock(&lock);
  before_write(fd, offset, length);
  const ssize_t n = real_pwrite(fd, data, length, offset);
  pthread_mutex_unlock(&lock);
  return n;
}

ssize_t pwrite64(int fd, const void* data, size_t length, off64_t offset) {
  set_up();
  if (!tracked_fd(fd)) return real_pwrite64(fd, data, length, offset);
  pthread_mutex_lock(&lock);
  before_write(fd, offset, length);
  const ssize_t n = real_pwrite64(fd, data, length, offset);
  pthread_mutex_unlock(&lock);
  return n;
}

ssize_t writev(int fd, const struct iovec* iov, int count) {
  set_up();
  if (!tracked_fd(fd)) return real_writev(fd, iov, count);
  size_t length = 0;
  for (int i = 0; i < count; ++i) length += iov[i].iov_len;
  pthread_mutex_lock(&lock);
  const off_t at = lseek(fd, 0, SEEK_CUR);
  before_write(fd, (at < 0 || (fcntl(fd, F_GETFL) & O_APPEND)) ? size_of(fd) : at, length);
  const ssize_t n = real_writev(fd, iov, count);
  pthread_mutex_unlock(&lock);
  return n;
}

int ftruncate(int fd, off_t size) {
  set_up();
  if (!tracked_fd(fd)) return real_ftruncate(fd, size);
  pthread_mutex_lock(&lock);
  before_resize(fd, size);
  const int rc = real_ftruncate(fd, size);
  pthread_mutex_unlock(&lock);
  return rc;
}

int ftruncate64(int fd, off64_t size) {
  set_up();
  if (!tracked_fd(fd)) return real_ftruncate64(fd, size);
  pthread_mutex_lock(&lock);
  before_resize(fd, size);
  const int rc = real_ftruncate64(fd, size);
  pthread_mutex_unlock(&lock);
  return rc;
}

int fallocate(int fd, int mode, off_t offset, off_t length) {
  set_up();
  if (!tracked_fd(fd)) return real_fallocate(fd, mode, offset, length);
  pthread_mutex_lock(&lock);
  before_resize(fd, offset + length);
  const int rc = real_fallocate(fd, mode, offset, length);
  pthread_mutex_unlock(&lock);
  return rc;
}

int posix_fallocate(int fd, off_t offset, off_t length) {
  set_up();
  if (!tracked_fd(fd)) return real_posix_fallocate(fd, offset, length);
  pthread_mutex_lock(&lock);
  before_resize(fd, offset + length);
  const int rc = real_posix_fallocate(fd, offset, length);
  pthread_mutex_unlock(&lock);
  return rc;
}

// The sync marker follows the sync: a cut between the two still loses what the sync was writing.
static int synced(int fd, int (*sync)(int)) {
  set_up();
  const int rc = sync(fd);
  if (rc == 0 && tracked_fd(fd)) {
    pthread_mutex_lock(&lock);
    if (tracked_fd(fd)) note('S', tracked_path[fd], 0, 0, NULL, 0);
    pthread_mutex_unlock(&lock);
  }
  return rc;
}

int fsync(int fd) {
  return synced(fd, real_fsync);
}
int fdatasync(int fd) {
  return synced(fd, real_fdatasync);
}

int unlink(const char* path) {
  set_up();
  if (!is_tracked(path)) return real_unlink(path);
  pthread_mutex_lock(&lock);
  const int rc = real_unlink(path);
  if (rc == 0) note('U', path, 0, 0, NULL, 0);
  pthread_mutex_unlock(&lock);
  return rc;
}

int rename(const char* from, const char* to) {
  set_up();
  if (!is_tracked(from) && !is_tracked(to)) return real_rename(from, to);
  pthread_mutex_lock(&lock);
  const int rc = real_rename(from, to);
  if (rc == 0) {
    note('R', from, 0, 0, to, (uint32_t)strlen(to));
    for (int fd = 0; fd < MAX_FDS; ++fd) {
      if (tracked_path[fd] && strcmp(tracked_path[fd], from) == 0) {
        free(tracked_path[fd]);
        tracked_path[fd] = is_tracked(to) ? strdup(to) : NULL;
      }
    }
  }
  pthread_mutex_unlock(&lock);
  return rc;
}
