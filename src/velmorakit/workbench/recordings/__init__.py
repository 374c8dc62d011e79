"""recordings"""
