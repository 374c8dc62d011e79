"""Which column of a sensor's table or stream plays which role: time, acceleration, velocity,
angular rate, label, group."""

from dataclasses import dataclass, field

from ..errors import InputError

ROLES = ("t", "ax", "ay", "az", "vx", "vy", "vz", "gx", "gy", "gz", "label", "group")
ACC_ROLES = ("ax", "ay", "az")
VEL_ROLES = ("vx", "vy", "vz")
GYRO_ROLES = ("gx", "gy", "gz")
# Names a time column goes by, in the order they are looked for.
TIME_COLUMNS = ("t", "time", "timestamp", "t_s", "t_ms", "time_ms")


@dataclass
class ColumnMap:
    """Which input column plays which role: time, acceleration, velocity, angular rate (a
    gyroscope), label, group.

    A group column (e.g. a take number) starts a new grid and a new velocity estimate
    wherever its value changes.
    """

    names: dict[str, str] = field(default_factory=dict)

    @classmethod
    def parse(cls, text: str) -> "ColumnMap":
        """'t=timestamp,ax=acc_x,ay=acc_y,az=acc_z[,vx=..,vy=..,vz=..][,gx=..,gy=..,gz=..]
        [,label=..][,group=..]'"""
        names = {}
        for item in filter(None, (part.strip() for part in text.split(","))):
            role, sep, column = (s.strip() for s in item.partition("="))
            role = role.lower()
            if not sep or not column:
                raise InputError(f"column mapping {item!r} is not ROLE=COLUMN")
            if role not in ROLES:
                known = ", ".join(ROLES)
                raise InputError(f"unknown role {role!r} in {item!r} (roles: {known})")
            if role in names:
                raise InputError(f"role {role!r} is given twice")
            names[role] = column
        mapping = cls(names)
        mapping.check()
        return mapping

    @classmethod
    def default(cls, header: list[str]) -> "ColumnMap":
        """The roles found by their own names in a header: t (or time, timestamp), ax, ..."""
        lowered = [h.strip().lower() for h in header]
        names = {role: role for role in ROLES if role in lowered and role != "t"}
        for alias in TIME_COLUMNS:
            if alias in lowered:
                names["t"] = alias
                break
        mapping = cls(names)
        mapping.check()
        return mapping

    def check(self) -> None:
        missing = [r for r in ACC_ROLES if r not in self.names]
        velocity = [r for r in VEL_ROLES if r in self.names]
        gyro = [r for r in GYRO_ROLES if r in self.names]
        if missing:
            raise InputError(f"the columns of {', '.join(missing)} are not given")
        if velocity and len(velocity) != 3:
            raise InputError("give all three velocity columns (vx, vy, vz) or none")
        if gyro and len(gyro) != 3:
            raise InputError("give all three angular rate columns (gx, gy, gz) or none")

    @property
    def has_velocity(self) -> bool:
        return "vx" in self.names

    @property
    def has_gyro(self) -> bool:
        return "gx" in self.names

    @property
    def has_time(self) -> bool:
        return "t" in self.names

    def locate(self, header: list[str]) -> dict[str, int]:
        """Each role's column index in `header`, matched case-insensitively."""
        lowered = [h.strip().lower() for h in header]
        found, missing = {}, []
        for role, name in self.names.items():
            if name.strip().lower() in lowered:
                found[role] = lowered.index(name.strip().lower())
            else:
                missing.append(name)
        if missing:
            raise InputError(
                f"column(s) {', '.join(missing)} not in the header ({', '.join(header)})"
            )
        return found
