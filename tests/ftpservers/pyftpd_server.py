# Test peer: serves ROOT to one user on a free port of 127.0.0.1 (or on
# HOST and PORT when given) and prints "PORT <n>" once it listens. With
# "nocase" it takes names as a Windows server does: each part of a path is
# an existing entry of that name in any letter case, a new name keeps its
# own.
# Usage: pyftpd_server.py ROOT USER PASSWORD [HOST PORT [nocase]]
import logging
import os
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.filesystems import AbstractedFS
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer

logging.basicConfig(level=logging.ERROR)
root, user, password = sys.argv[1:4]
host = sys.argv[4] if len(sys.argv) > 4 else "127.0.0.1"
port = int(sys.argv[5]) if len(sys.argv) > 5 else 0
authorizer = DummyAuthorizer()
authorizer.add_user(user, password, root, perm="elradfmwMT")


class Handler(FTPHandler):
    pass


class NoCaseFS(AbstractedFS):
    def ftp2fs(self, ftppath):
        path = super().ftp2fs(ftppath)
        rel = os.path.relpath(path, self.root)
        if rel == "." or rel.startswith(".."):
            return path
        out = self.root
        for part in rel.split(os.sep):
            found = os.path.join(out, part)
            if not os.path.lexists(found) and os.path.isdir(out):
                for name in sorted(os.listdir(out)):
                    if name.lower() == part.lower():
                        found = os.path.join(out, name)
                        break
            out = found
        return out


if len(sys.argv) > 6 and sys.argv[6] == "nocase":
    Handler.abstracted_fs = NoCaseFS


Handler.authorizer = authorizer
Handler.banner = "pyftpdlib test server ready."
Handler.permit_foreign_addresses = False
server = FTPServer((host, port), Handler)
print("PORT", server.address[1], flush=True)
server.serve_forever(timeout=0.2)
