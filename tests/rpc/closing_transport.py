"""The ncacn_ip_tcp transport every impacket client of the tests connects with.

impacket 0.10's TCPTransport.recv(count=n) keeps calling socket.recv until it
holds n bytes; once the server has closed the connection that call returns
b'' at once and for ever, and the client spins instead of seeing the end. Here
an empty read is the end of the connection: it raises ConnectionEnded."""
from impacket.dcerpc.v5.transport import DCERPCStringBinding, TCPTransport


class ConnectionEnded(ConnectionError):
    """The server closed the connection (an empty read)."""


class ClosingTCPTransport(TCPTransport):
    def recv(self, forceRecv=0, count=0):
        sock = self.get_socket()
        if not count:
            return self._chunk(sock, 8192)
        buffer = b''
        while len(buffer) < count:
            buffer += self._chunk(sock, count - len(buffer))
        return buffer

    @staticmethod
    def _chunk(sock, size):
        data = sock.recv(size)
        if not data:
            raise ConnectionEnded('the server closed the connection')
        return data


def connect(host, port, interface, timeout_s):
    """A DCE/RPC connection to HOST:PORT over ncacn_ip_tcp, bound to INTERFACE;
    every socket operation on it gives up after TIMEOUT_S."""
    rpc = ClosingTCPTransport(host, port)
    rpc.set_stringbinding(DCERPCStringBinding('ncacn_ip_tcp:%s[%d]' % (host, port)))
    rpc.set_connect_timeout(timeout_s)
    dce = rpc.get_dce_rpc()
    dce.connect()
    dce.bind(interface)
    return dce
