#!/usr/bin/python3
"""impacket_e2e.py WINE_RUN PREFIX HOST_EXE PORT CLIENT

Starts the fixture RPC host (HOST_EXE) under Wine through WINE_RUN on PORT,
waits for it to listen, runs the impacket client CLIENT against it with this
interpreter, then closes the host's stdin and waits for it to stop. Exit
code: the client's, else 1 when the host failed."""
import subprocess
import sys
import threading


def main(wine_run, prefix, host_exe, port, client):
    host = subprocess.Popen([wine_run, prefix, host_exe, port, '60'], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    first = []
    reader = threading.Thread(target=lambda: first.append(host.stdout.readline()))
    reader.start()
    reader.join(60)
    if not first or b'listening' not in first[0]:
        host.kill()
        print('the host did not start listening: %r' % (first or host.stdout.read()))
        return 1
    process_id = first[0].split()[1].decode()  # the client checks it talks to this host
    result = subprocess.run([sys.executable, client, '127.0.0.1', port, process_id], timeout=120)
    host.stdin.close()
    rest = host.stdout.read()
    code = host.wait(60)
    print(rest.decode(errors='replace').strip())
    if result.returncode != 0:
        return result.returncode
    return 0 if code == 0 else 1


if __name__ == '__main__':
    sys.exit(main(*sys.argv[1:]))
