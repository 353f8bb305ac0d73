{{ config(event_time='cohort_week', tags=['customers'],
          meta={'velk': {'lookback': 1, 'lookback_unit': 'week'}}) }}

-- Weekly cohorts by first order, read from version 2 of the customer dimension.
select date_trunc('week', first_ordered_at) as cohort_week, count(*) as customers
from {{ ref('dim_customers', v=2) }}
group by 1
