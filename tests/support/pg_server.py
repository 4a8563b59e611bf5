#!/usr/bin/python3
"""A private PostgreSQL server for the tests: initdb into a folder, pg_ctl on
a private socket directory and a free loopback port, run as an unprivileged
user (the server refuses to run as root).

  pg_server.py start DIR   prints the server's URL (initdb on first start)
  pg_server.py stop DIR    stops it (fast shutdown)
  pg_server.py url DIR     prints the URL of a server started before
"""
import glob, os, pwd, shutil, socket, subprocess, sys, time


def bindir():
    for d in sorted(glob.glob('/usr/lib/postgresql/*/bin'), reverse=True):
        if os.path.exists(os.path.join(d, 'initdb')):
            return d
    sys.exit('pg_server: PostgreSQL is not installed (scripts/install-deps --tests)')


def as_user(cmd):
    if os.getuid() == 0:
        cmd = ['runuser', '-u', 'nobody', '--'] + cmd
    return subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)


def free_port():
    s = socket.socket()
    s.bind(('127.0.0.1', 0))
    port = s.getsockname()[1]
    s.close()
    return port


def url(folder):
    with open(os.path.join(folder, 'port')) as f:
        port = f.read().strip()
    return 'postgresql://corvane@/line?host=%s&port=%s' % (os.path.join(folder, 'sock'), port)


def start(folder):
    b = bindir()
    data, sock = os.path.join(folder, 'data'), os.path.join(folder, 'sock')
    os.makedirs(sock, exist_ok=True)
    if os.getuid() == 0:
        nobody = pwd.getpwnam('nobody')
        for d in (folder, sock):
            os.chown(d, nobody.pw_uid, nobody.pw_gid)
    fresh = not os.path.exists(os.path.join(data, 'PG_VERSION'))
    if fresh:
        r = as_user([b + '/initdb', '-D', data, '-U', 'corvane', '-A', 'trust', '-E', 'UTF8', '--no-sync'])
        if r.returncode:
            sys.exit('pg_server: initdb failed:\n' + r.stdout)
        with open(os.path.join(folder, 'port'), 'w') as f:
            f.write(str(free_port()))
    with open(os.path.join(folder, 'port')) as f:
        port = f.read().strip()
    opts = "-k %s -p %s -c listen_addresses=127.0.0.1 -c fsync=off" % (sock, port)
    r = as_user([b + '/pg_ctl', '-D', data, '-l', os.path.join(folder, 'log'), '-o', opts, '-w', '-t', '120',
                 'start'])
    if r.returncode:
        log = open(os.path.join(folder, 'log')).read() if os.path.exists(os.path.join(folder, 'log')) else ''
        sys.exit('pg_server: the server did not start:\n' + r.stdout + log)
    if fresh:
        r = as_user([b + '/createdb', '-h', sock, '-p', port, '-U', 'corvane', 'line'])
        if r.returncode:
            sys.exit('pg_server: createdb failed:\n' + r.stdout)
    print(url(folder))


def stop(folder):
    r = as_user([bindir() + '/pg_ctl', '-D', os.path.join(folder, 'data'), '-m', 'fast', '-w', 'stop'])
    if r.returncode:
        sys.exit('pg_server: stop failed:\n' + r.stdout)


if __name__ == '__main__':
    if len(sys.argv) != 3 or sys.argv[1] not in ('start', 'stop', 'url'):
        sys.exit(__doc__)
    {'start': start, 'stop': stop, 'url': lambda d: print(url(d))}[sys.argv[1]](os.path.abspath(sys.argv[2]))
