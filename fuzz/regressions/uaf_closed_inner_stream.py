import sys, gc
sys.path.insert(0, "/work/main/tools")
import karvo_writer as W, karvoreader as K
W.write_series("/tmp/probe/s.spa", n_spectra=5, num_points=4)
s = K.open_file("/tmp/probe/s.spa").open_series()
next(s)
inner = [o for o in gc.get_referents(s) if type(o).__name__ == "generator"]
print("inner", inner)
for g in inner:
    g.close()
print(next(s))
print(list(s))
