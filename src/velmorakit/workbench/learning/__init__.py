"""learning"""
