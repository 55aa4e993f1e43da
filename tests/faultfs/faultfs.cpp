// A file system that fails as disks and shares do, for the suite to mount
// beneath Wine as a drive letter (Linux, libfuse3). Its root serves files of
// spaces, named by their size and fault:
//   SIZE              SIZE spaces
//   SIZE-eio-AT       a read that starts before byte AT ends there, short; one
//                     that starts at AT fails with EIO: what the kernel hands
//                     a reader when a disk fails partway through a read
//   SIZE-short-MAX    every read gives at most MAX bytes
//   SIZE-hang-AT      a read that holds byte AT waits until "release" is opened
// A "-helper" suffix keeps the fault from the thread that opened the file,
// and so meets only another thread's reads (the counter's helper), wherever
// that thread reads past AT: for eio, a read starting on a 64 KiB line gives
// its first 4 KiB, any other fails.
// Opening these names acts, as the suite runs no command as root itself:
//   release                 lets every waiting read go on; "held", whose size
//                           is the number of reads waiting, tells whether any is
//   logdisk-on              a small tmpfs in the log's place, the log in it
//   logdisk-full, -room     fills that tmpfs up, and frees it again
//   logdisk-off             the log's own place back
// Usage: faultfs MOUNTPOINT LOG_PATH LOGDISK_DIR [fuse options]
#define FUSE_USE_VERSION 31
#include <errno.h>
#include <fcntl.h>
#include <fuse.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <sys/mount.h>
#include <time.h>
#include <unistd.h>

#include <string>

namespace {

const unsigned long long LOGDISK_BYTES = 1 << 20;
const int HANG_MAX_S = 300;

std::string LogPath, LogDisk;
pthread_mutex_t Lock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t Released = PTHREAD_COND_INITIALIZER;
unsigned long long Releases = 0, Held = 0;

struct Served {
    unsigned long long size, at;
    char fault[8];
    bool helperOnly;
};

bool Parse(const char *path, Served *p)
{
    char helper[8] = "";
    int n = 0;
    p->fault[0] = '\0';
    p->at = 0;
    if (sscanf(path, "/%llu%n", &p->size, &n) != 1)
        return false;
    if (path[n] != '\0' &&
        sscanf(path + n, "-%7[a-z]-%llu%7[-a-z]", p->fault, &p->at, helper) < 2)
        return false;
    p->helperOnly = strcmp(helper, "-helper") == 0;
    return path[n] == '\0' || ((helper[0] == '\0' || p->helperOnly) &&
                                (strcmp(p->fault, "eio") == 0 || strcmp(p->fault, "short") == 0 ||
                                 strcmp(p->fault, "hang") == 0));
}

const char *const CONTROLS[] = {"/held", "/release", "/logdisk-on", "/logdisk-full", "/logdisk-room",
                                "/logdisk-off"};

bool IsControl(const char *path)
{
    for (const char *c : CONTROLS) {
        if (strcmp(path, c) == 0)
            return true;
    }
    return false;
}

void Fill()
{
    int fd = open((LogDisk + "/filler").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    static const char block[4096] = {};
    while (fd >= 0 && write(fd, block, sizeof block) > 0) {
    }
    if (fd >= 0)
        close(fd);
}

int Act(const char *path)
{
    const std::string target = LogPath, disk = LogDisk;
    if (strcmp(path, "/release") == 0) {
        pthread_mutex_lock(&Lock);
        ++Releases;
        pthread_cond_broadcast(&Released);
        pthread_mutex_unlock(&Lock);
    } else if (strcmp(path, "/logdisk-on") == 0) {
        std::string opts = "size=" + std::to_string(LOGDISK_BYTES);
        close(open(target.c_str(), O_WRONLY | O_CREAT, 0644)); // a bind needs a file there
        if (mount("quorvel-log", disk.c_str(), "tmpfs", 0, opts.c_str()) != 0)
            return -errno;
        close(open((disk + "/log").c_str(), O_WRONLY | O_CREAT, 0644));
        if (mount((disk + "/log").c_str(), target.c_str(), NULL, MS_BIND, NULL) != 0)
            return -errno;
    } else if (strcmp(path, "/logdisk-full") == 0) {
        Fill();
    } else if (strcmp(path, "/logdisk-room") == 0) {
        unlink((disk + "/filler").c_str());
    } else if (strcmp(path, "/logdisk-off") == 0) {
        umount2(target.c_str(), MNT_DETACH);
        umount2(disk.c_str(), MNT_DETACH);
    }
    return 0;
}

void *Init(struct fuse_conn_info *, struct fuse_config *cfg)
{
    // Every name and size asked anew: the faults live in the reads.
    cfg->entry_timeout = cfg->attr_timeout = cfg->negative_timeout = 0;
    return NULL;
}

int GetAttr(const char *path, struct stat *st, struct fuse_file_info *)
{
    memset(st, 0, sizeof *st);
    Served served;
    if (strcmp(path, "/") == 0) {
        st->st_mode = S_IFDIR | 0755;
        st->st_nlink = 2;
    } else if (IsControl(path) || Parse(path, &served)) {
        st->st_mode = S_IFREG | 0444;
        st->st_nlink = 1;
        pthread_mutex_lock(&Lock);
        st->st_size = strcmp(path, "/held") == 0 ? (off_t)Held
                      : IsControl(path)         ? 0
                                                : (off_t)served.size;
        pthread_mutex_unlock(&Lock);
    } else {
        return -ENOENT;
    }
    return 0;
}

int ReadDir(const char *, void *buf, fuse_fill_dir_t fill, off_t, struct fuse_file_info *,
            enum fuse_readdir_flags)
{
    fill(buf, ".", NULL, 0, (fuse_fill_dir_flags)0);
    fill(buf, "..", NULL, 0, (fuse_fill_dir_flags)0);
    return 0;
}

int Open(const char *path, struct fuse_file_info *fi)
{
    Served served;
    if ((fi->flags & O_ACCMODE) != O_RDONLY)
        return -EACCES;
    // Past the page cache, so that every read reaches us as it was asked.
    fi->direct_io = 1;
    fi->fh = (uint64_t)fuse_get_context()->pid; // the opening thread
    if (IsControl(path))
        return Act(path);
    return Parse(path, &served) ? 0 : -ENOENT;
}

// Waits until "release" is opened, or a suite's run could not have: as a
// share that stopped answering, not even the reader's end stops the wait.
void Hang()
{
    pthread_mutex_lock(&Lock);
    unsigned long long first = Releases;
    struct timespec until;
    clock_gettime(CLOCK_REALTIME, &until);
    until.tv_sec += HANG_MAX_S;
    ++Held;
    while (Releases == first && pthread_cond_timedwait(&Released, &Lock, &until) == 0) {
    }
    --Held;
    pthread_mutex_unlock(&Lock);
}

int Read(const char *path, char *buf, size_t size, off_t off, struct fuse_file_info *fi)
{
    Served served;
    if (!Parse(path, &served))
        return 0;
    unsigned long long first = (unsigned long long)off, end = first + size;
    if (end > served.size)
        end = served.size > first ? served.size : first;
    bool fFault = !served.helperOnly || (uint64_t)fuse_get_context()->pid != fi->fh;
    if (fFault && served.helperOnly && strcmp(served.fault, "eio") == 0 && first >= served.at) {
        if (first % (64 * 1024) != 0)
            return -EIO;
        if (end - first > 4096)
            end = first + 4096;
    } else if (fFault && strcmp(served.fault, "eio") == 0 && first <= served.at && served.at < end) {
        if (first == served.at)
            return -EIO;
        end = served.at;
    } else if (fFault && strcmp(served.fault, "short") == 0 && end - first > served.at) {
        end = first + served.at;
    } else if (fFault && strcmp(served.fault, "hang") == 0 && first <= served.at && served.at < end) {
        Hang();
    }
    memset(buf, ' ', end - first);
    return (int)(end - first);
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc < 4) {
        fprintf(stderr, "usage: faultfs MOUNTPOINT LOG_PATH LOGDISK_DIR [fuse options]\n");
        return 2;
    }
    LogPath = argv[2];
    LogDisk = argv[3];
    struct fuse_operations ops = {};
    ops.init = Init;
    ops.getattr = GetAttr;
    ops.readdir = ReadDir;
    ops.open = Open;
    ops.read = Read;
    // What follows the mount point is fuse's own.
    argv[3] = argv[1];
    argv[2] = argv[0];
    return fuse_main(argc - 2, argv + 2, &ops, NULL);
}
