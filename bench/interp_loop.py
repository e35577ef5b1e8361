#!/usr/bin/env python3
# The benchmark loop in Python with decimal.Decimal: the same totals as
# interp_bench --loop-totals and interp_loop.cob.
from decimal import Decimal
rate, total, high = Decimal(1), Decimal(0), 0
for _ in range(1000000):
    rate += Decimal("0.0137")
    if rate > 500:
        rate -= Decimal("499.9991")
    total += rate
    if rate > 250:
        high += 1
print("total %018.4f" % total)
print("high %09d" % high)
