# UndefinedBehaviorSanitizer: signed integer overflow in numpy_api.cpp
# (new_float64_array), "2305843009213693953 * 16 cannot be represented in type
# 'long int'". With no seeds, a max_steps of 2**59 or more passes the shape
# check (the empty axis is not counted) and the stride loop multiplies past
# the signed 64-bit range. The build without sanitizers returns an empty array.
import numpy as np
import torvelin

out = torvelin.trace_fieldlines(0.0, 1.0, 0.0, 1.0, 2, 2, np.zeros(4), np.zeros(4), [], 0.1,
                                2**61)
print(out.shape)
