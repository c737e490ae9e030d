#!/usr/bin/env python3
# The hostile pane archives of procedures.txt: makezip.py KIND FILE, KIND one of
#   beside: another pane beside Ruvelant.prefPane    dotdot: an entry that unzip strips of "../"
#   link: a symbolic link out of the pane            bomb: 600 MiB of zeros that say they are 10 bytes
import struct
import sys
import zipfile

kind, path = sys.argv[1:3]
with zipfile.ZipFile(path, 'w', zipfile.ZIP_DEFLATED, compresslevel=1) as archive:
    archive.writestr('Ruvelant.prefPane/Contents/Info.plist', '<plist version="1.0"><dict/></plist>\n')
    if kind == 'beside':
        archive.writestr('Other.prefPane/Contents/Info.plist', '<plist version="1.0"><dict/></plist>\n')
    elif kind == 'dotdot':
        archive.writestr('../Other.prefPane/Contents/Info.plist', '<plist version="1.0"><dict/></plist>\n')
    elif kind == 'link':
        link = zipfile.ZipInfo('Ruvelant.prefPane/Contents/Resources')
        link.create_system = 3  # Unix, whose mode says "symbolic link"
        link.external_attr = 0o120777 << 16
        archive.writestr(link, '../../..')
    elif kind == 'bomb':
        with archive.open('Ruvelant.prefPane/Contents/zeros', 'w') as zeros:
            for _ in range(600):
                zeros.write(bytes(1 << 20))
if kind == 'bomb':  # the sizes of its local header and central directory entry
    data = bytearray(open(path, 'rb').read())
    for signature, offset in ((b'PK\x03\x04', 22), (b'PK\x01\x02', 24)):
        at = data.rfind(signature)
        struct.pack_into('<I', data, at + offset, 10)
    open(path, 'wb').write(data)
