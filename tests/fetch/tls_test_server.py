#!/usr/bin/env python3
"""TLS servers on 127.0.0.1 for the Windows TLS channel's tests.

Usage: tls_test_server.py DIR

Makes a throwaway certificate authority and certificates in DIR with
openssl, starts the servers, and then writes DIR/environment, lines of
NAME=VALUE that the test reads from its environment:

  VARNOLT_TLS_CA           the authority's certificate, base64 DER, which
                           the test adds to the trusted roots itself
  VARNOLT_TLS_PORT         a server whose certificate that authority issued
                           for localhost and 127.0.0.1
  VARNOLT_TLS_ROGUE_PORT   the same, from an authority nobody trusts
  VARNOLT_TLS_HANGUP_PORT  a server that reads the client's first message
                           and closes the connection

A TLS server answers one request a connection: "HTTP/1.0 200 OK", an empty
line, the request as it came (its body too, when it gives a
Content-Length), then PATTERN_BYTES bytes of the pattern below, then
close_notify and the connection's close. Runs until killed.
"""
import base64
import os
import socket
import ssl
import subprocess
import sys
import threading

PATTERN_BYTES = 200000


def pattern():
    # Byte i is 'a' + (i * 7 % 26): the test computes the same.
    return bytes(ord("a") + (i * 7 % 26) for i in range(PATTERN_BYTES))


def openssl(*args):
    subprocess.run(["openssl", *args], check=True, capture_output=True)


def make_authority(directory, name):
    key, cert = f"{directory}/{name}.key", f"{directory}/{name}.pem"
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert,
            "-days", "2", "-subj", f"/CN=Varnolt test {name}",
            "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    return key, cert


def make_server_cert(directory, name, authority):
    key, request, cert = (f"{directory}/{name}.key", f"{directory}/{name}.csr",
                          f"{directory}/{name}.pem")
    extensions = f"{directory}/{name}.ext"
    with open(extensions, "w") as out:
        out.write("subjectAltName=DNS:localhost,IP:127.0.0.1\n"
                  "extendedKeyUsage=serverAuth\nbasicConstraints=CA:FALSE\n")
    openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", request,
            "-subj", "/CN=localhost")
    openssl("x509", "-req", "-in", request, "-CA", authority[1], "-CAkey", authority[0],
            "-set_serial", str(int.from_bytes(os.urandom(8), "big")), "-days", "2",
            "-extfile", extensions, "-out", cert)
    return cert, key


def listen():
    server = socket.socket()
    server.bind(("127.0.0.1", 0))
    server.listen(8)
    return server


def serve_tls(client, context, body):
    try:
        with context.wrap_socket(client, server_side=True) as conn:
            request = b""
            while b"\r\n\r\n" not in request:
                piece = conn.recv(65536)
                if not piece:
                    return
                request += piece
            head = request.split(b"\r\n\r\n", 1)[0].lower()
            for line in head.split(b"\r\n"):
                if line.startswith(b"content-length:"):
                    wanted = len(head) + 4 + int(line.split(b":", 1)[1])
                    while len(request) < wanted:
                        piece = conn.recv(65536)
                        if not piece:
                            return
                        request += piece
            conn.sendall(b"HTTP/1.0 200 OK\r\n\r\n" + request + body)
            # close_notify without waiting for the client's own.
            conn.setblocking(False)
            try:
                conn.unwrap()
            except (ssl.SSLError, OSError):
                pass
    except (ssl.SSLError, OSError):
        pass  # a client that refused the certificate hangs up


def hang_up(client):
    try:
        client.recv(65536)
    finally:
        client.close()


def accept_forever(server, handle):
    while True:
        client, _ = server.accept()
        threading.Thread(target=handle, args=(client,), daemon=True).start()


def main():
    directory = sys.argv[1]
    trusted = make_authority(directory, "ca")
    rogue = make_authority(directory, "rogue-ca")
    body = pattern()
    ports = {}
    for name, authority in (("VARNOLT_TLS_PORT", trusted), ("VARNOLT_TLS_ROGUE_PORT", rogue)):
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(*make_server_cert(directory, name.lower(), authority))
        server = listen()
        ports[name] = server.getsockname()[1]
        threading.Thread(target=accept_forever, daemon=True,
                         args=(server, lambda c, ctx=context: serve_tls(c, ctx, body))).start()
    server = listen()
    ports["VARNOLT_TLS_HANGUP_PORT"] = server.getsockname()[1]
    threading.Thread(target=accept_forever, args=(server, hang_up), daemon=True).start()

    der = ssl.PEM_cert_to_DER_cert(open(trusted[1]).read())
    lines = [f"VARNOLT_TLS_CA={base64.b64encode(der).decode()}"]
    lines += [f"{name}={port}" for name, port in ports.items()]
    with open(f"{directory}/environment.tmp", "w") as out:
        out.write("\n".join(lines) + "\n")
    os.rename(f"{directory}/environment.tmp", f"{directory}/environment")
    threading.Event().wait()


if __name__ == "__main__":
    main()
