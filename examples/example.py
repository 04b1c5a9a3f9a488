import ostrel
plain = open("examples/stock.txt", "rb").read()
packed = ostrel.compress(plain, level=9)
assert ostrel.decompress(open("examples/stock.lzh8", "rb").read()) == plain
print(len(plain), "bytes packed into", len(packed), "and back:", ostrel.decompress(packed) == plain)
