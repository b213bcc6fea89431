# A short mover written as people write one: every non-empty "*.cnm" file of the source
# folder is moved into the target under its own name unless that name is taken, with one
# log line per file.
import os
import sys
import time

source, target, log = sys.argv[1:4]
for name in sorted(os.listdir(source)):
    path = os.path.join(source, name)
    if not name.lower().endswith(".cnm") or not os.path.isfile(path):
        continue
    size = os.path.getsize(path)
    if size == 0:
        continue
    with open(log, "a") as f:
        f.write(time.strftime("#%Y-%m-%d %H:%M:%S#,") + '"%07d"\r\n' % size)
    dest = os.path.join(target, name)
    if not os.path.exists(dest):
        os.rename(path, dest)
