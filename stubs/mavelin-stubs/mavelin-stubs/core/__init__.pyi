from . import (
    file_managing as file_managing,
    hashing as hashing,
    models as models,
    validation as validation,
)
