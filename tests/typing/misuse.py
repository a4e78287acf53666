"""Mistakes the stubs must catch. Each line that must be rejected ends with
the error code mypy and pyright give it; nothing else may be reported."""

import varnelle

g = varnelle.bs_greeks(100.0, 100.0, 1.0, 0.05, 0.2)

varnelle.bs_gamma(100.0, 100.0, 1.0, 0.05, 0.2, option_type="put")  # expect: mypy[call-arg] pyright[reportCallIssue]
varnelle.bs_vega(100.0, 100.0, 1.0, 0.05, 0.2, 0.0, "call")  # expect: mypy[call-arg] pyright[reportCallIssue]
g.delta = 1.0  # expect: mypy[misc] pyright[reportAttributeAccessIssue]
del g.vega  # expect: pyright[reportAttributeAccessIssue]  (mypy lets a deleter-less property be deleted)
varnelle.PyGreeks()  # expect: mypy[call-arg] pyright[reportCallIssue]
varnelle.am_price(100.0, 100.0, 1.0, 0.05)  # expect: mypy[call-arg] pyright[reportCallIssue]
varnelle.bs_delta("100", 100.0, 1.0, 0.05, 0.2)  # expect: mypy[arg-type] pyright[reportArgumentType]
varnelle.bs_delta(100.0, 100.0, 1.0, 0.05, 0.2, volatility=0.2)  # expect: mypy[call-arg] pyright[reportCallIssue]
varnelle.am_delta(100.0, 100.0, 1.0, 0.05, 0.2, 0.0, option_type=1)  # expect: mypy[arg-type] pyright[reportArgumentType]
price: str = varnelle.am_price(100.0, 100.0, 1.0, 0.05, 0.2)  # expect: mypy[assignment] pyright[reportAssignmentType]
delta: float = varnelle.bs_greeks(100.0, 100.0, 1.0, 0.05, 0.2)  # expect: mypy[assignment] pyright[reportAssignmentType]
g.price  # expect: mypy[attr-defined] pyright[reportAttributeAccessIssue]
varnelle.bs_price(100.0, 100.0, 1.0, 0.05, 0.2)  # expect: mypy[attr-defined] pyright[reportAttributeAccessIssue]


class MyGreeks(varnelle.PyGreeks):  # expect: mypy[misc] pyright[reportGeneralTypeIssues]
    pass
