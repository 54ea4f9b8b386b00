#!/usr/bin/env python3
"""Makes a sample photo (iPhoto) library for the demo and the benchmark.

    photo-library-sample.py LIBRARY [--images N] [--trashed M]
                            [--files all|trashed|none] [--preferences HOME]

LIBRARY gets Database/Library.apdb (RKMaster, RKVersion, RKAlbum, RKFolder,
with the indexes a real library has), Database/ImageProxies.apdb
(RKImageProxyState) and the Masters, Previews and Thumbnails folders. N images
(default 200), the first M of them (default 40) in the trash; every fifth
trashed image has two versions; a trashed folder "Old trips" with an album
"Rome", a trashed album "Drafts" and a kept album "Family". Files (a master of
4000 bytes, proxies of 300, 30 and 3) are made for every image (all, the
default), for the trashed ones only, or for none. With
--preferences HOME, HOME/Library/Preferences/com.apple.IPhoto.plist names
the library as the photo application's.
"""
import argparse
import os
import plistlib
import sqlite3
import uuid


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("library")
    parser.add_argument("--images", type=int, default=200)
    parser.add_argument("--trashed", type=int, default=40)
    parser.add_argument("--files", choices=("all", "trashed", "none"), default="all")
    parser.add_argument("--preferences")
    args = parser.parse_args()
    lib = os.path.abspath(args.library)
    for folder in ("Database", "Masters", "Previews", "Thumbnails"):
        os.makedirs(os.path.join(lib, folder), exist_ok=True)

    db = sqlite3.connect(os.path.join(lib, "Database/Library.apdb"))
    db.executescript("""
        CREATE TABLE RKMaster (modelId INTEGER PRIMARY KEY, uuid TEXT, fileName TEXT, imagePath TEXT);
        CREATE TABLE RKVersion (modelId INTEGER PRIMARY KEY, uuid TEXT, masterId INTEGER, name TEXT,
                                versionNumber INTEGER, isInTrash INTEGER, showInLibrary INTEGER);
        CREATE INDEX RKVersion_masterId_index ON RKVersion (masterId);
        CREATE TABLE RKAlbum (modelId INTEGER PRIMARY KEY, uuid TEXT, name TEXT, folderUuid TEXT,
                              albumType INTEGER, albumSubclass INTEGER, isInTrash INTEGER);
        CREATE TABLE RKFolder (modelId INTEGER PRIMARY KEY, uuid TEXT, name TEXT,
                               parentFolderUuid TEXT, isInTrash INTEGER);
        INSERT INTO RKFolder (uuid, name, parentFolderUuid, isInTrash) VALUES
            ('TopLevelAlbums', '', '', 0), ('TopLevelSlideshows', '', '', 0),
            ('TopLevelKeepsakes', '', '', 0);
    """)
    proxies = sqlite3.connect(os.path.join(lib, "Database/ImageProxies.apdb"))
    proxies.executescript("""
        CREATE TABLE RKImageProxyState (modelId INTEGER PRIMARY KEY, versionUuid TEXT,
            fullSizePreviewPath TEXT, thumbnailPath TEXT, miniThumbnailPath TEXT);
        CREATE INDEX RKImageProxyState_versionUuid_index ON RKImageProxyState (versionUuid);
    """)

    def write(path, size):
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(b"\xff" * size)

    masters, versions, states = [], [], []
    for i in range(args.images):
        trashed = i < args.trashed
        folder = "%d/%02d" % (2010 + i // 5000, (i // 400) % 12 + 1)
        name = "IMG_%05d.jpg" % i
        masters.append((i + 1, str(uuid.uuid4()), name, folder + "/" + name))
        count = 2 if trashed and i % 5 == 0 else 1
        files = args.files == "all" or (args.files == "trashed" and trashed)
        for v in range(count):
            vid = str(uuid.uuid4())
            versions.append((vid, i + 1, name[:-4], v, 1 if trashed else 0, 1))
            stem = "%s/%s_%d" % (folder, name[:-4], v)
            states.append((vid, stem + ".jpg", stem + "_thumb.jpg", stem + "_mini.jpg"))
            if files:
                write(os.path.join(lib, "Previews", stem + ".jpg"), 300)
                write(os.path.join(lib, "Thumbnails", stem + "_thumb.jpg"), 30)
                write(os.path.join(lib, "Thumbnails", stem + "_mini.jpg"), 3)
        if files:
            write(os.path.join(lib, "Masters", folder, name), 4000)
    db.executemany("INSERT INTO RKMaster VALUES (?, ?, ?, ?)", masters)
    db.executemany("INSERT INTO RKVersion (uuid, masterId, name, versionNumber, isInTrash, "
                   "showInLibrary) VALUES (?, ?, ?, ?, ?, ?)", versions)
    proxies.executemany("INSERT INTO RKImageProxyState (versionUuid, fullSizePreviewPath, "
                        "thumbnailPath, miniThumbnailPath) VALUES (?, ?, ?, ?)", states)
    trips = str(uuid.uuid4())
    db.execute("INSERT INTO RKFolder (uuid, name, parentFolderUuid, isInTrash) VALUES (?, ?, ?, 1)",
               (trips, "Old trips", "TopLevelAlbums"))
    # A folder is shown by an album row of subclass 1 that names it.
    albums = [("Old trips", trips, 1, 1, 1), ("Rome", trips, 1, 3, 1),
              ("Drafts", "TopLevelAlbums", 1, 3, 1), ("Family", "TopLevelAlbums", 1, 3, 0)]
    db.executemany("INSERT INTO RKAlbum (uuid, name, folderUuid, albumType, albumSubclass, "
                   "isInTrash) VALUES (?, ?, ?, ?, ?, ?)",
                   [(str(uuid.uuid4()),) + album for album in albums])
    db.commit()
    proxies.commit()
    if args.preferences:
        prefs = os.path.join(args.preferences, "Library/Preferences")
        os.makedirs(prefs, exist_ok=True)
        with open(os.path.join(prefs, "com.apple.IPhoto.plist"), "wb") as f:
            plistlib.dump({"RootDirectory": lib}, f)


main()
