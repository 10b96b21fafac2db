"""quorvel: exact, fast batch training of self-organizing maps.

The estimator :class:`SOM` follows scikit-learn's conventions (``fit``,
``predict``, ``transform``, ``score``) over a C++ engine whose results are
the same bits for every thread count and machine.

>>> import numpy as np
>>> from quorvel import SOM
>>> X = np.random.default_rng(0).normal(size=(200, 3))
>>> som = SOM(6, 5, epochs=5).fit(X)
>>> som.codebook_.shape
(5, 6, 3)
"""

from ._cytometry import ArcsinhTransformer, arcsinh, read_fcs
from ._geometry import node_positions
from ._io import load
from ._metaclusters import Metaclusters
from ._quality import MapQualityWarning
from ._som import SOM
from ._supervised import SOMClassifier, SOMRegressor

__version__ = "0.2.0"

__all__ = [
    "SOM",
    "SOMClassifier",
    "SOMRegressor",
    "Metaclusters",
    "MapQualityWarning",
    "ArcsinhTransformer",
    "arcsinh",
    "read_fcs",
    "load",
    "node_positions",
    "__version__",
]
