# Test peer: serves ROOT to one user on a free port of 127.0.0.1 and prints
# "PORT <n>" once it listens. Usage: pyftpd_server.py ROOT USER PASSWORD
import logging
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer

logging.basicConfig(level=logging.ERROR)
root, user, password = sys.argv[1:4]
authorizer = DummyAuthorizer()
authorizer.add_user(user, password, root, perm="elradfmwMT")


class Handler(FTPHandler):
    pass


Handler.authorizer = authorizer
Handler.banner = "pyftpdlib test server ready."
Handler.permit_foreign_addresses = False
server = FTPServer(("127.0.0.1", 0), Handler)
print("PORT", server.address[1], flush=True)
server.serve_forever(timeout=0.2)
