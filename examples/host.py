"""A minimal host: python3 host.py FOLDER [PLUGIN_DIR] [--debug] compresses FOLDER's photos in place."""
import sys, time
import img_util

if len(sys.argv) > 2 and sys.argv[2] != "--debug": img_util.set_plugin_dir(sys.argv[2])
cfg = {"folder": sys.argv[1], "subfold": True, "jumperr": True, "maskmode": 1, "exts": [".jpg", ".png"],
       "utimemode": 0, "utime": "", "isbackup": True, "isaprotect": True, "yswidth": 1600,
       "quality": 70, "tmpPath": img_util.IMAGES.tmpPath,
       "result": {"ctime": time.time(), "compresscount": 0, "maskcount": 0, "files": []}}
images = img_util.IMAGES(); images.execute(cfg); images.save_db(cfg)
print("compressed %d of %d files" % (cfg["result"]["compresscount"], len(cfg["result"]["files"])))
