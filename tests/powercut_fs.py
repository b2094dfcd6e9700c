#!/usr/bin/python3
"""A file system that loses power: LazyFS's model, for the tests.

Every write, create, rename, unlink and attribute change lives in memory
until an fsync of that file (or, for names, of their folder) makes it
durable; the durable state is kept in IMAGE. "Losing power" is this process
ending: what was not durable is gone, and the next mount of IMAGE shows only
what was.

    powercut_fs.py IMAGE MOUNTPOINT [--cut-after N] [--count-file F]

--cut-after N: the process ends (the power goes) right before the
(N+1)-th changing operation, so operations 1..N took effect, durably or
not. --count-file F: at a clean unmount, the number of changing operations
is written to F, so a test knows how many cut points a run has.
Debian's python3-pyfuse3; run as root.
"""
import copy
import errno
import os
import pickle
import stat
import sys
import time

import pyfuse3
import trio

ROOT = pyfuse3.ROOT_INODE


class Node:
    def __init__(self, mode, uid=0, gid=0):
        self.mode = mode
        self.uid, self.gid = uid, gid
        self.data = bytearray()
        self.target = b""  # a symbolic link's
        self.entries = {}  # a folder's: name -> inode
        self.rdev = 0
        self.mtime = self.ctime = time.time_ns()

    def is_dir(self):
        return stat.S_ISDIR(self.mode)


def reachable(nodes):
    """The inodes reachable from the root, and how many names each has."""
    links, todo = {ROOT: 1}, [ROOT]
    while todo:
        node = nodes[todo.pop()]
        for ino in node.entries.values():
            if ino in nodes:
                links[ino] = links.get(ino, 0) + 1
                if links[ino] == 1 and nodes[ino].is_dir():
                    todo.append(ino)
    return links


class PowerCutFs(pyfuse3.Operations):
    def __init__(self, image, cut_after):
        super().__init__()
        self.image, self.cut_after, self.changes = image, cut_after, 0
        if os.path.exists(image):
            with open(image, "rb") as f:
                self.durable = pickle.load(f)
        else:
            self.durable = {ROOT: Node(stat.S_IFDIR | 0o755)}
        # What was durable and can be reached: the state after a power cut.
        links = reachable(self.durable)
        for ino in list(self.durable):
            if ino not in links:
                del self.durable[ino]
        for node in self.durable.values():
            node.entries = {n: i for n, i in node.entries.items() if i in self.durable}
        self.live = copy.deepcopy(self.durable)
        self.next_ino = max(self.live) + 1
        self.handles = {}
        self.next_fh = 1

    # -- the model ---------------------------------------------------------
    def change(self):
        """Counts a changing operation; the power goes before the one after N."""
        if self.cut_after is not None and self.changes >= self.cut_after:
            os._exit(99)  # the power goes: nothing more becomes durable
        self.changes += 1

    def save(self):
        tmp = self.image + ".tmp"
        with open(tmp, "wb") as f:
            pickle.dump(self.durable, f)
        os.replace(tmp, self.image)

    def sync_file(self, ino):
        node = self.live[ino]
        kept = self.durable.get(ino)
        if kept is None:
            kept = self.durable[ino] = Node(node.mode)
        kept.mode, kept.uid, kept.gid, kept.rdev = node.mode, node.uid, node.gid, node.rdev
        kept.data, kept.target = bytearray(node.data), node.target
        kept.mtime, kept.ctime = node.mtime, node.ctime

    def sync_dir(self, ino):
        node = self.live[ino]
        if ino not in self.durable:
            self.durable[ino] = Node(node.mode, node.uid, node.gid)
        self.durable[ino].entries = dict(node.entries)
        self.durable[ino].mode = node.mode
        for child in node.entries.values():
            if child not in self.durable:  # the name is durable, the data only once synced
                c = self.live[child]
                fresh = self.durable[child] = Node(c.mode, c.uid, c.gid)
                fresh.target, fresh.rdev = c.target, c.rdev

    # -- helpers -----------------------------------------------------------
    def attr(self, ino):
        node = self.live[ino]
        a = pyfuse3.EntryAttributes()
        a.st_ino, a.st_mode, a.st_uid, a.st_gid, a.st_rdev = ino, node.mode, node.uid, node.gid, node.rdev
        a.st_nlink = self.nlink(ino)
        a.st_size = len(node.target) if stat.S_ISLNK(node.mode) else len(node.data)
        a.st_blksize, a.st_blocks = 4096, (a.st_size + 511) // 512
        a.st_atime_ns = a.st_mtime_ns = node.mtime
        a.st_ctime_ns = node.ctime
        a.attr_timeout = a.entry_timeout = 0
        return a

    def nlink(self, ino):
        node = self.live[ino]
        if node.is_dir():
            return 2 + sum(1 for i in node.entries.values() if self.live[i].is_dir())
        return sum(1 for n in self.live.values() for i in n.entries.values() if i == ino)

    def child(self, parent, name):
        ino = self.live[parent].entries.get(name)
        if ino is None:
            raise pyfuse3.FUSEError(errno.ENOENT)
        return ino

    def make(self, parent, name, mode, ctx):
        self.change()
        entries = self.live[parent].entries
        if name in entries:
            raise pyfuse3.FUSEError(errno.EEXIST)
        ino, self.next_ino = self.next_ino, self.next_ino + 1
        self.live[ino] = Node(mode, ctx.uid, ctx.gid)
        entries[name] = ino
        self.live[parent].mtime = time.time_ns()
        return ino

    def forget_unlinked(self, ino):
        if self.nlink(ino) == 0 and not any(h == ino for h in self.handles.values()):
            self.live.pop(ino, None)

    # -- operations --------------------------------------------------------
    async def lookup(self, parent, name, ctx=None):
        if name == b".":
            return self.attr(parent)
        return self.attr(self.child(parent, name))

    async def getattr(self, ino, ctx=None):
        return self.attr(ino)

    async def setattr(self, ino, attr, fields, fh, ctx):
        self.change()
        node = self.live[ino]
        if fields.update_size:
            del node.data[attr.st_size:]
            node.data.extend(b"\0" * (attr.st_size - len(node.data)))
        if fields.update_mode:
            node.mode = (node.mode & ~0o7777) | (attr.st_mode & 0o7777)
        if fields.update_uid:
            node.uid = attr.st_uid
        if fields.update_gid:
            node.gid = attr.st_gid
        if fields.update_mtime:
            node.mtime = attr.st_mtime_ns
        node.ctime = time.time_ns()
        return self.attr(ino)

    async def readlink(self, ino, ctx):
        return self.live[ino].target

    async def opendir(self, ino, ctx):
        return self.open_handle(ino)

    async def readdir(self, fh, start_id, token):
        entries = sorted(self.live[self.handles[fh]].entries.items())
        for i, (name, ino) in enumerate(entries[start_id:], start_id + 1):
            if not pyfuse3.readdir_reply(token, name, self.attr(ino), i):
                break

    async def releasedir(self, fh):
        self.handles.pop(fh, None)

    async def mkdir(self, parent, name, mode, ctx):
        return self.attr(self.make(parent, name, stat.S_IFDIR | (mode & 0o7777), ctx))

    async def mknod(self, parent, name, mode, rdev, ctx):
        ino = self.make(parent, name, mode, ctx)
        self.live[ino].rdev = rdev
        return self.attr(ino)

    async def symlink(self, parent, name, target, ctx):
        ino = self.make(parent, name, stat.S_IFLNK | 0o777, ctx)
        self.live[ino].target = target
        return self.attr(ino)

    async def link(self, ino, new_parent, new_name, ctx):
        self.change()
        if new_name in self.live[new_parent].entries:
            raise pyfuse3.FUSEError(errno.EEXIST)
        self.live[new_parent].entries[new_name] = ino
        return self.attr(ino)

    async def unlink(self, parent, name, ctx):
        self.change()
        ino = self.child(parent, name)
        del self.live[parent].entries[name]
        self.forget_unlinked(ino)

    async def rmdir(self, parent, name, ctx):
        ino = self.child(parent, name)
        if self.live[ino].entries:
            raise pyfuse3.FUSEError(errno.ENOTEMPTY)
        self.change()
        del self.live[parent].entries[name]
        self.live.pop(ino, None)

    async def rename(self, parent_old, name_old, parent_new, name_new, flags, ctx):
        self.change()
        ino = self.child(parent_old, name_old)
        target = self.live[parent_new].entries.get(name_new)
        if target is not None and self.live[target].is_dir() and self.live[target].entries:
            raise pyfuse3.FUSEError(errno.ENOTEMPTY)
        del self.live[parent_old].entries[name_old]
        self.live[parent_new].entries[name_new] = ino
        if target is not None and target != ino:
            self.forget_unlinked(target)

    def open_handle(self, ino):
        fh, self.next_fh = self.next_fh, self.next_fh + 1
        self.handles[fh] = ino
        return fh

    async def open(self, ino, flags, ctx):
        if flags & os.O_TRUNC:
            self.change()
            del self.live[ino].data[:]
        return pyfuse3.FileInfo(fh=self.open_handle(ino))

    async def create(self, parent, name, mode, flags, ctx):
        ino = self.make(parent, name, stat.S_IFREG | (mode & 0o7777), ctx)
        return pyfuse3.FileInfo(fh=self.open_handle(ino)), self.attr(ino)

    async def read(self, fh, off, size):
        return bytes(self.live[self.handles[fh]].data[off:off + size])

    async def write(self, fh, off, buf):
        self.change()
        node = self.live[self.handles[fh]]
        if len(node.data) < off:
            node.data.extend(b"\0" * (off - len(node.data)))
        node.data[off:off + len(buf)] = buf
        node.mtime = time.time_ns()
        return len(buf)

    async def release(self, fh):
        ino = self.handles.pop(fh, None)
        if ino is not None and ino in self.live:
            self.forget_unlinked(ino)

    async def fsync(self, fh, datasync):
        self.change()
        self.sync_file(self.handles[fh])
        self.save()

    async def fsyncdir(self, fh, datasync):
        self.change()
        self.sync_dir(self.handles[fh])
        self.save()

    async def flush(self, fh):
        pass

    async def statfs(self, ctx):
        s = pyfuse3.StatvfsData()
        s.f_bsize = s.f_frsize = 4096
        s.f_blocks = s.f_bfree = s.f_bavail = 1 << 20
        s.f_files = s.f_ffree = s.f_favail = 1 << 20
        s.f_namemax = 255
        return s


def main():
    args = sys.argv[1:]
    cut_after = count_file = None
    if "--cut-after" in args:
        i = args.index("--cut-after")
        cut_after = int(args[i + 1])
        del args[i:i + 2]
    if "--count-file" in args:
        i = args.index("--count-file")
        count_file = args[i + 1]
        del args[i:i + 2]
    image, mountpoint = args
    fs = PowerCutFs(image, cut_after)
    options = set(pyfuse3.default_options)
    options.update(["fsname=powercut", "allow_other"])
    pyfuse3.init(fs, mountpoint, options)
    try:
        trio.run(pyfuse3.main)
    finally:
        pyfuse3.close(unmount=False)
    if count_file:
        with open(count_file, "w") as f:
            f.write("%d\n" % fs.changes)


if __name__ == "__main__":
    main()
