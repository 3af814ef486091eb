# Test peer: serves ROOT to one user on a free port of 127.0.0.1 (or on
# HOST and PORT when given) and prints "PORT <n>" once it listens.
# Usage: pyftpd_server.py ROOT USER PASSWORD [HOST PORT]
import logging
import sys

from pyftpdlib.authorizers import DummyAuthorizer
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


Handler.authorizer = authorizer
Handler.banner = "pyftpdlib test server ready."
Handler.permit_foreign_addresses = False
server = FTPServer((host, port), Handler)
print("PORT", server.address[1], flush=True)
server.serve_forever(timeout=0.2)
